// Bound classes for the tests: a small vector type and friends.
#include <krenn/krenn.hpp>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

using namespace krenn::literals;

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

double dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }

}  // namespace geo

KRENN_CLASS(Vec2, geo::Vec2, "A 2-D vector.",
            krenn::init<double, double>("x"_a = 0.0, "y"_a = 0.0),
            krenn::method<&geo::Vec2::length>("length", "Its length."),
            krenn::method<&geo::Vec2::scaled>("scaled", "Scaled by k.", "k"_a),
            krenn::method<&geo::Vec2::scale_by>("scale_by", "Scales in place.", "k"_a),
            krenn::method<&geo::Vec2::repr>("__repr__"),
            krenn::method<&geo::Vec2::operator==>("__eq__", "", "other"_a),
            krenn::static_method<&geo::Vec2::unit_x>("unit_x", "The unit vector along x."),
            krenn::field<&geo::Vec2::x>("x", "The x coordinate."),
            krenn::readonly<&geo::Vec2::y>("y", "The y coordinate."));
KRENN_DEF(dot, &geo::dot, "The dot product.", "a"_a, "b"_a);
KRENN_MODULE(_krenn_classes, "Bound classes, for tests.", Vec2, dot);
