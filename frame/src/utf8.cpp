#include "utf8.hpp"

#include "text.hpp"

#include <cstdint>

namespace krenn {

namespace {

// The sequence at bytes[i]: its length when well-formed, otherwise the length
// of its maximal well-formed prefix and whether the input ended inside it,
// following the table of well-formed byte sequences in the Unicode standard.
struct Step {
  std::size_t len;
  bool valid;
  bool truncated;  // ran off the end while still a valid prefix
};

Step step_at(std::string_view bytes, std::size_t i) noexcept {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
  std::uint8_t lead = byte(i);
  if (lead < 0x80) return {1, true, false};
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {1, false, false};
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= bytes.size()) return {k, false, true};
    std::uint8_t b = byte(i + k);
    std::uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return {k, false, false};
  }
  return {need, true, false};
}

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept {
  for (std::size_t i = 0; i < bytes.size();) {
    Step s = step_at(bytes, i);
    if (!s.valid) {
      if (s.truncated) return Utf8Error{i, std::nullopt};
      return Utf8Error{i, s.len};
    }
    i += s.len;
  }
  return std::nullopt;
}

std::string describe_utf8_error(const Utf8Error& error) {
  TextBuffer text;
  if (error.error_len) {
    text += "invalid utf-8 sequence of ";
    text.append_number(*error.error_len);
    text += " bytes from index ";
  } else {
    text += "incomplete utf-8 byte sequence from index ";
  }
  text.append_number(error.valid_up_to);
  return std::string(text.view());
}

void decode_utf8_lossy(std::string_view bytes, TextBuffer& out) {
  constexpr std::string_view replacement = "\xEF\xBF\xBD";
  for (std::size_t i = 0; i < bytes.size();) {
    Step s = step_at(bytes, i);
    out += s.valid ? bytes.substr(i, s.len) : replacement;
    i += s.len;
  }
}

}  // namespace krenn
