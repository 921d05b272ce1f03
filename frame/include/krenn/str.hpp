// str as UTF-8, both ways. A parameter takes a str (subclasses too); a
// std::string_view borrows the str's own UTF-8 for the call, a std::string
// copies it. A str that has no UTF-8 form (a lone surrogate) raises the
// interpreter's UnicodeEncodeError; a result that is not valid UTF-8 raises
// UnicodeDecodeError.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "krenn/converter.hpp"

namespace krenn {

namespace detail {

[[nodiscard]] Result<std::string_view> argument_to_utf8(PyObject* obj, std::string_view name);

[[nodiscard]] Result<PyObject*> str_from_utf8_general(std::string_view text);

// Copies n bytes, width <= n < 2 * width or n a multiple of width beyond, by
// words of that width, the last one overlapping; returns the bits seen.
template <std::size_t width>
[[gnu::always_inline]] inline std::uint64_t copy_words(char* out, const char* in,
                                                       std::size_t n) noexcept {
  std::uint64_t seen = 0;
  auto copy = [&](std::size_t at) {
    std::uint64_t word = 0;
    std::memcpy(&word, in + at, width);
    std::memcpy(out + at, &word, width);
    seen |= word;
  };
  for (std::size_t at = 0; at + width < n; at += width) copy(at);
  copy(n - width);
  return seen;
}

// Short ASCII, the common result, is copied by words straight into a compact
// str, checked on the way; one character (the interpreter keeps those
// cached), longer texts and anything not ASCII go the interpreter's way.
[[nodiscard]] inline Result<PyObject*> str_from_utf8(std::string_view text) {
  const std::size_t n = text.size();
  if (n >= 2 && n <= 64) [[likely]] {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (!str) [[unlikely]]
      return result_failed();
    char* out = reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
    std::uint64_t seen = n >= 8   ? copy_words<8>(out, text.data(), n)
                         : n >= 4 ? copy_words<4>(out, text.data(), n)
                                  : copy_words<2>(out, text.data(), n);
    if (!(seen & 0x8080808080808080u)) [[likely]]
      return str;
    Py_DECREF(str);
  }
  return str_from_utf8_general(text);
}

// An exact compact ASCII str is its own UTF-8, without a call.
[[nodiscard]] inline bool exact_ascii(PyObject* obj, std::string_view& out) noexcept {
  if (!PyUnicode_CheckExact(obj) || !PyUnicode_IS_COMPACT_ASCII(obj)) return false;
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
  return true;
}

}  // namespace detail

template <>
struct Converter<std::string_view> {
  static constexpr std::string_view python_name = "str";

  [[nodiscard]] static bool exact(PyObject* obj, std::string_view& out) noexcept {
    return detail::exact_ascii(obj, out);
  }
  [[nodiscard]] static Result<std::string_view> convert(PyObject* obj, std::string_view name) {
    return detail::argument_to_utf8(obj, name);
  }
  [[nodiscard]] static Result<PyObject*> to_python(std::string_view value) {
    return detail::str_from_utf8(value);
  }
};

template <>
struct Converter<std::string> {
  static constexpr std::string_view python_name = "str";

  [[nodiscard]] static bool exact(PyObject* obj, std::string& out) {
    std::string_view view;
    if (!detail::exact_ascii(obj, view)) return false;
    out.assign(view);
    return true;
  }
  [[nodiscard]] static Result<std::string> convert(PyObject* obj, std::string_view name) {
    Result<std::string_view> view = detail::argument_to_utf8(obj, name);
    if (!view) [[unlikely]]
      return failure(std::move(view.error()));
    return std::string(*view);
  }
  [[nodiscard]] static Result<PyObject*> to_python(const std::string& value) {
    return detail::str_from_utf8(value);
  }
};

// Results only. A null pointer is None.
template <>
struct Converter<const char*> {
  static constexpr std::string_view python_name = "str | None";

  [[nodiscard]] static Result<PyObject*> to_python(const char* value) {
    if (!value) return Py_NewRef(Py_None);
    return detail::str_from_utf8(value);
  }
};

}  // namespace krenn
