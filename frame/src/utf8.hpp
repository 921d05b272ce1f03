// UTF-8 checks for bytes that come back from the interpreter.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "text.hpp"

namespace krenn {

// Where a byte string stops being UTF-8.
struct Utf8Error {
  std::size_t valid_up_to;
  std::optional<std::size_t> error_len;  // absent: the input ends mid-sequence
};

[[nodiscard]] std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept;

// "invalid utf-8 sequence of 1 bytes from index 3" and the like.
[[nodiscard]] std::string describe_utf8_error(const Utf8Error& error);

// Appends the bytes, each maximal ill-formed subsequence replaced with U+FFFD.
void decode_utf8_lossy(std::string_view bytes, TextBuffer& out);

}  // namespace krenn
