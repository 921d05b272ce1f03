// The C++ type of the class group, bound by krenn, nanobind and pybind11
// alike; limit/vec2.c gives its observable behaviour in plain C.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace geo {

// v as Python's repr(float) writes it: the shortest digits that read back,
// positional for exponents -4..15 and with ".0" on whole numbers. Written
// into a buffer of at least 32 bytes; returns the end.
inline char* put_float_repr(char* out, double v) {
  if (std::isnan(v)) return std::copy_n("nan", 3, out);
  if (std::isinf(v)) return v < 0 ? std::copy_n("-inf", 4, out) : std::copy_n("inf", 3, out);
  // Whole numbers below 1e16 are their integer's digits and ".0".
  if (v == std::trunc(v) && std::fabs(v) < 1e16 && !(v == 0 && std::signbit(v))) {
    out = std::to_chars(out, out + 24, static_cast<long long>(v)).ptr;
    return std::copy_n(".0", 2, out);
  }
  char buf[32];  // [-]d[.ddd]e(+|-)dd[d]
  char* end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
  const char* p = buf;
  if (*p == '-') {
    *out++ = '-';
    ++p;
  }
  char digits[20];
  int n = 0;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  int exp = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exp);
  if (exp < -4 || exp >= 16) {
    *out++ = digits[0];
    if (n > 1) {
      *out++ = '.';
      out = std::copy_n(digits + 1, n - 1, out);
    }
    *out++ = 'e';
    *out++ = exp < 0 ? '-' : '+';
    const int e = exp < 0 ? -exp : exp;
    if (e < 10) *out++ = '0';
    return std::to_chars(out, out + 4, e).ptr;
  }
  if (exp < 0) {
    out = std::copy_n("0.", 2, out);
    out = std::fill_n(out, -exp - 1, '0');
    return std::copy_n(digits, n, out);
  }
  if (n <= exp + 1) {
    out = std::copy_n(digits, n, out);
    out = std::fill_n(out, exp + 1 - n, '0');
    return std::copy_n(".0", 2, out);
  }
  out = std::copy_n(digits, exp + 1, out);
  *out++ = '.';
  return std::copy_n(digits + exp + 1, n - exp - 1, out);
}

struct Vec2 {
  Vec2(double x, double y) : x(x), y(y) {}
  double length() const { return std::hypot(x, y); }
  Vec2 scaled(double k) const { return {x * k, y * k}; }
  void scale_by(double k) {
    x *= k;
    y *= k;
  }
  std::string repr() const {
    char buf[80];
    char* p = std::copy_n("Vec2(", 5, buf);
    p = put_float_repr(p, x);
    p = std::copy_n(", ", 2, p);
    p = put_float_repr(p, y);
    *p++ = ')';
    return std::string(buf, p);
  }
  bool operator==(const Vec2&) const = default;
  static Vec2 unit_x() { return {1.0, 0.0}; }
  double x, y;
};

inline double dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }

}  // namespace geo
