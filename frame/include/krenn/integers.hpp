// Every standard integer type, through the interpreter's integer protocol
// (__index__), both ways. A TypeError names the argument; a value out of the
// C type's range is OverflowError in the interpreter's own words for that type:
//   - signed char, short, int: PyLong_AsLong's text beyond a C long, else the
//     texts of PyArg_ParseTuple's checked codes ('h': "signed short integer is
//     less than minimum", 'i': "signed integer is greater than maximum"; signed
//     char, which the interpreter never checks, says "signed char is ..." alike);
//   - unsigned char: code 'b' exactly ("unsigned byte integer is less than
//     minimum"), as it is the interpreter's checked conversion for that type;
//   - long (so int64_t, Py_ssize_t): PyLong_AsLong's; long long: PyLong_AsLongLong's;
//   - unsigned long and long long (uint64_t, size_t): PyLong_AsUnsignedLongLong's;
//   - unsigned short, int: the same below zero and past 64 bits, otherwise
//     "Python int too large for C unsigned short" as the interpreter's
//     converters say (they raise ValueError below zero; we keep OverflowError
//     for every range error).
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

#include "krenn/arguments.hpp"
#include "krenn/converter.hpp"

namespace krenn {

namespace detail {

template <typename T>
concept StandardInteger = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                          !std::same_as<T, wchar_t> && !std::same_as<T, char8_t> &&
                          !std::same_as<T, char16_t> && !std::same_as<T, char32_t>;

enum class IntApi : std::uint8_t { as_long, as_long_long };

// Where a signed type (and unsigned char) ends, and what is said past it.
struct IntRange {
  std::int64_t min;
  std::int64_t max;
  IntApi api;
  std::string_view below;
  std::string_view above;
};

template <typename T>
constexpr IntRange signed_range() {
  constexpr auto min = std::numeric_limits<T>::min(), max = std::numeric_limits<T>::max();
  if constexpr (std::same_as<T, signed char>)
    return {min, max, IntApi::as_long, "signed char is less than minimum",
            "signed char is greater than maximum"};
  else if constexpr (std::same_as<T, unsigned char>)
    return {min, max, IntApi::as_long, "unsigned byte integer is less than minimum",
            "unsigned byte integer is greater than maximum"};
  else if constexpr (std::same_as<T, short>)
    return {min, max, IntApi::as_long, "signed short integer is less than minimum",
            "signed short integer is greater than maximum"};
  else if constexpr (std::same_as<T, int>)
    return {min, max, IntApi::as_long, "signed integer is less than minimum",
            "signed integer is greater than maximum"};
  else if constexpr (std::same_as<T, long long>)
    return {min, max, IntApi::as_long_long, {}, {}};
  else
    return {min, max, IntApi::as_long, {}, {}};
}

[[nodiscard]] Result<std::int64_t> argument_to_i64(PyObject* obj, std::string_view name,
                                                   const IntRange& range);
// For unsigned types narrower than 64 bits other than unsigned char.
[[nodiscard]] Result<std::uint64_t> argument_to_u64_at_most(PyObject* obj, std::string_view name,
                                                            std::uint64_t max,
                                                            std::string_view above);

}  // namespace detail

// Exact ints of at most 60 bits and their sign, read from their digits.
[[nodiscard]] inline bool exact_i64(PyObject* obj, std::int64_t& out) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && PYLONG_BITS_IN_DIGIT == 30
  if (!PyLong_CheckExact(obj)) return false;
  const digit* d = reinterpret_cast<PyLongObject*>(obj)->ob_digit;
  Py_ssize_t size = Py_SIZE(obj);
  std::int64_t magnitude;
  switch (size < 0 ? -size : size) {
    case 0: out = 0; return true;
    case 1: magnitude = d[0]; break;
    case 2: magnitude = std::int64_t{d[0]} | std::int64_t{d[1]} << 30; break;
    default: return false;
  }
  out = size < 0 ? -magnitude : magnitude;
  return true;
#else
  (void)obj;
  (void)out;
  return false;
#endif
}

template <detail::StandardInteger T>
struct Converter<T> {
  static constexpr std::string_view python_name = "int";
  static constexpr bool is_signed = std::is_signed_v<T> || std::same_as<T, unsigned char>;

  [[nodiscard]] static bool exact(PyObject* obj, T& out) noexcept {
    if constexpr (std::same_as<T, std::uint64_t>) {
      return exact_u64(obj, out);
    } else if constexpr (is_signed) {
      std::int64_t value;
      if (!exact_i64(obj, value) || !std::in_range<T>(value)) return false;
      out = static_cast<T>(value);
    } else {
      std::uint64_t value;
      if (!exact_u64(obj, value) || !std::in_range<T>(value)) return false;
      out = static_cast<T>(value);
    }
    return true;
  }

  [[nodiscard]] static Result<T> convert(PyObject* obj, std::string_view name) {
    if constexpr (is_signed) {
      static constexpr detail::IntRange range = detail::signed_range<T>();
      Result<std::int64_t> value = detail::argument_to_i64(obj, name, range);
      if (!value) [[unlikely]]
        return failure(std::move(value.error()));
      return static_cast<T>(*value);
    } else if constexpr (sizeof(T) == sizeof(std::uint64_t)) {
      return argument_to_u64(obj, name);
    } else {
      constexpr std::string_view above = std::same_as<T, unsigned short>
                                             ? "Python int too large for C unsigned short"
                                             : "Python int too large for C unsigned int";
      Result<std::uint64_t> value =
          detail::argument_to_u64_at_most(obj, name, std::numeric_limits<T>::max(), above);
      if (!value) [[unlikely]]
        return failure(std::move(value.error()));
      return static_cast<T>(*value);
    }
  }

  [[nodiscard]] static Result<PyObject*> to_python(T value) {
    PyObject* obj = std::is_signed_v<T> ? PyLong_FromLongLong(static_cast<long long>(value))
                                        : PyLong_FromUnsignedLongLong(value);
    if (!obj) [[unlikely]]
      return detail::result_failed();
    return obj;
  }
};

}  // namespace krenn
