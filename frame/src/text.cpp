#include "text.hpp"

#include <algorithm>
#include <charconv>

namespace krenn {

void TextBuffer::grow(std::size_t more) {
  std::size_t capacity = std::max(capacity_ * 2, size_ + more);
  auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
  std::memcpy(bigger.get(), data_, size_);
  heap_ = std::move(bigger);
  data_ = heap_.get();
  capacity_ = capacity;
}

TextBuffer& TextBuffer::operator+=(std::string_view text) {
  if (text.size() > capacity_ - size_) [[unlikely]]
    grow(text.size());
  std::memcpy(data_ + size_, text.data(), text.size());
  size_ += text.size();
  return *this;
}

void TextBuffer::append_number(std::uint64_t n) {
  char digits[20];
  auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  *this += std::string_view(digits, static_cast<std::size_t>(end - digits));
}

}  // namespace krenn
