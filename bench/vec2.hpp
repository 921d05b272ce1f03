// The C++ type of the class group, bound by krenn, nanobind and pybind11
// alike; limit/vec2.c gives its observable behaviour in plain C.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace geo {

// v as Python's repr(float) writes it: the shortest digits that read back,
// positional for exponents -4..15 and with ".0" on whole numbers.
inline void append_float_repr(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "nan";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return;
  }
  char buf[32];  // the longest, -d.dddddddddddddddde-ddd, fits with room
  *std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific).ptr = '\0';
  // buf holds [-]d[.ddd]e(+|-)dd[d]
  const char* p = buf;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  std::string digits;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits += *p;
  const int exp = std::atoi(p + 1);
  const int n = static_cast<int>(digits.size());
  if (exp < -4 || exp >= 16) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exp < 0 ? "e-" : "e+";
    const int e = exp < 0 ? -exp : exp;
    if (e < 10) out += '0';
    out += std::to_string(e);
  } else if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
  } else if (n <= exp + 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exp + 1 - n), '0');
    out += ".0";
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exp + 1));
    out += '.';
    out.append(digits, static_cast<std::size_t>(exp + 1));
  }
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
    std::string out = "Vec2(";
    append_float_repr(out, x);
    out += ", ";
    append_float_repr(out, y);
    out += ')';
    return out;
  }
  bool operator==(const Vec2&) const = default;
  static Vec2 unit_x() { return {1.0, 0.0}; }
  double x, y;
};

inline double dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }

}  // namespace geo
