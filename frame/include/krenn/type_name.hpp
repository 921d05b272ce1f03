// Names of C++ types and texts composed when compiling, for signatures and
// stubs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace krenn::detail {

// A C++ type's name when compiling ("geo::Vec2"): how stubs refer to a bound
// class before its Python name is known.
template <typename T>
consteval std::string_view cpp_type_name() {
  std::string_view f = __PRETTY_FUNCTION__;
  std::size_t at = f.find("T = ") + 4;
  std::size_t end = f.find_first_of(";]", at);
  return f.substr(at, end - at);
}

template <typename T>
inline constexpr auto stub_type_ref = [] {
  constexpr std::string_view name = cpp_type_name<T>();
  std::array<char, name.size() + 2> out{};
  out[0] = '~';
  for (std::size_t i = 0; i < name.size(); ++i) out[i + 1] = name[i];
  out[name.size() + 1] = '~';
  return out;
}();

// Writes a text, or only measures it when out is null.
class TextWriter {
 public:
  constexpr explicit TextWriter(char* out) : out_(out) {}
  constexpr void put(std::string_view text) {
    for (char c : text) {
      if (out_) out_[at_] = c;
      ++at_;
    }
  }
  // In decimal; bits is the value's two's complement when is_unsigned.
  constexpr void put_int(std::int64_t bits, bool is_unsigned) {
    bool negative = !is_unsigned && bits < 0;
    std::uint64_t v =
        negative ? 0 - static_cast<std::uint64_t>(bits) : static_cast<std::uint64_t>(bits);
    char digits[20]{};
    std::size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    if (negative) put("-");
    while (n) put(std::string_view(&digits[--n], 1));
  }
  [[nodiscard]] constexpr std::size_t size() const { return at_; }

 private:
  char* out_;
  std::size_t at_ = 0;
};

// What write puts, as an array sized to it.
template <void (*write)(TextWriter&)>
inline constexpr auto composed_text = [] {
  constexpr std::size_t size = [] {
    TextWriter measure(nullptr);
    write(measure);
    return measure.size();
  }();
  std::array<char, size> out{};
  TextWriter writer(out.data());
  write(writer);
  return out;
}();

}  // namespace krenn::detail
