// The decimal text of an unsigned 64-bit integer as a new str, written
// straight into a compact ASCII object.
#pragma once

#include <Python.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "krenn/error.hpp"

namespace krenn {

namespace detail {

inline constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline constexpr auto powers_of_ten = [] {
  std::array<std::uint64_t, 20> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();

// The interpreter's own one-character strs "0" to "9", looked up once.
extern constinit PyObject* digit_strs[10];
[[nodiscard]] PyObject* digit_str_slow(std::uint64_t digit);

}  // namespace detail

// A new reference. One digit comes from the interpreter's own cache of
// one-character strs, as PyUnicode_FromStringAndSize would give it.
[[nodiscard]] inline PyObject* new_decimal_str(std::uint64_t value) {
  if (value < 10) {
    PyObject* digit = detail::digit_strs[value];
    if (!digit) [[unlikely]]
      return detail::digit_str_slow(value);
    return Py_NewRef(digit);
  }
  // Digit count from the bit length, corrected by one compare.
  int guess = (64 - std::countl_zero(value)) * 1233 >> 12;
  Py_ssize_t size = guess + (value >= detail::powers_of_ten[static_cast<std::size_t>(guess)]);
  PyObject* str = PyUnicode_New(size, 127);
  if (!str) [[unlikely]]
    api_call_failed();
  Py_UCS1* end = PyUnicode_1BYTE_DATA(str) + size;
  while (value >= 100) {
    end -= 2;
    std::memcpy(end, detail::digit_pairs + 2 * (value % 100), 2);
    value /= 100;
  }
  if (value >= 10) {
    end -= 2;
    std::memcpy(end, detail::digit_pairs + 2 * value, 2);
  } else {
    *--end = static_cast<Py_UCS1>('0' + value);
  }
  return str;
}

}  // namespace krenn
