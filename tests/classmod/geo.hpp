// A small C++ library type that several test modules share.
#pragma once

#include <cmath>
#include <string>

namespace geo {

struct Vec2 {
  Vec2(double x_, double y_) : x(x_), y(y_) {}
  [[nodiscard]] double length() const { return std::hypot(x, y); }
  [[nodiscard]] Vec2 scaled(double k) const { return {x * k, y * k}; }
  void scale_by(double k) {
    x *= k;
    y *= k;
  }
  [[nodiscard]] std::string repr() const {
    return "Vec2(" + std::to_string(x) + ", " + std::to_string(y) + ")";
  }
  bool operator==(const Vec2&) const = default;
  static Vec2 unit_x() { return {1, 0}; }
  double x, y;
};

inline double dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }

}  // namespace geo
