// A text composed for a message: on the stack while it is short, so that an
// error text costs no heap allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace krenn {

class TextBuffer {
 public:
  TextBuffer() noexcept = default;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  // Out of line: messages are composed on error paths, from many places.
  TextBuffer& operator+=(std::string_view text);
  TextBuffer& operator+=(char c) { return *this += std::string_view(&c, 1); }
  void append_number(std::uint64_t n);
  [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }

 private:
  void grow(std::size_t more);
  char* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = sizeof inline_;
  std::unique_ptr<char[]> heap_;
  char inline_[160];
};

}  // namespace krenn
