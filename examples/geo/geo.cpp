// A small C++ geometry library, and its bindings: two classes and a function,
// as a user of the Krenn frame writes them.
#include <krenn/krenn.hpp>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace geo {

// Python's repr of a float: the shortest text that reads back, fixed for
// decimal exponents from -4 to 15, ".0" after a whole number.
std::string float_repr(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view text(buf, static_cast<std::size_t>(end - buf));  // "-1.25e+02"
  std::string out;
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  std::size_t e = text.find('e');
  std::string digits(text.substr(0, e));
  if (digits.size() > 1) digits.erase(1, 1);  // the point
  std::string_view exp_text = text.substr(e + 1);
  int exp = 0;
  std::from_chars(exp_text.data() + 1, exp_text.data() + exp_text.size(), exp);
  if (exp_text.front() == '-') exp = -exp;
  int point = exp + 1;  // digits before the point
  auto size = static_cast<int>(digits.size());
  if (point > 16 || point < -3) {
    out += digits[0];
    if (size > 1) out += "." + digits.substr(1);
    out += exp < 0 ? "e-" : "e+";
    if (std::abs(exp) < 10) out += '0';
    out += std::to_string(std::abs(exp));
  } else if (point <= 0) {
    out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (point >= size) {
    out += digits + std::string(static_cast<std::size_t>(point - size), '0') + ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
           digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

struct Vec2 {
  Vec2(double x_, double y_) : x(x_), y(y_) {}
  [[nodiscard]] double length() const { return std::hypot(x, y); }
  [[nodiscard]] Vec2 scaled(double k) const { return {x * k, y * k}; }
  void scale_by(double k) {
    x *= k;
    y *= k;
  }
  [[nodiscard]] std::string repr() const {
    return "Vec2(" + float_repr(x) + ", " + float_repr(y) + ")";
  }
  bool operator==(const Vec2&) const = default;
  Vec2 operator+(const Vec2& other) const { return {x + other.x, y + other.y}; }
  Vec2 operator-() const { return {-x, -y}; }
  static Vec2 unit_x() { return {1, 0}; }
  double x, y;
};

double dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }

class Polygon {
 public:
  void add(Vec2 point) { points_.push_back(point); }
  [[nodiscard]] std::size_t size() const { return points_.size(); }
  // From the end when negative, as Python indexes.
  [[nodiscard]] Vec2 at(std::ptrdiff_t index) const {
    auto n = static_cast<std::ptrdiff_t>(points_.size());
    if (index < 0) index += n;
    if (index < 0 || index >= n) throw std::out_of_range("Polygon index out of range");
    return points_[static_cast<std::size_t>(index)];
  }
  // The shoelace formula: the enclosed area, whichever way round.
  [[nodiscard]] double area() const {
    double twice = 0;
    for (std::size_t i = 0; i < points_.size(); ++i) {
      const Vec2& a = points_[i];
      const Vec2& b = points_[(i + 1) % points_.size()];
      twice += a.x * b.y - b.x * a.y;
    }
    return std::abs(twice) / 2;
  }

 private:
  std::vector<Vec2> points_;
};

}  // namespace geo

using namespace krenn::literals;

// Operators' addresses in parentheses: "operator-" before ">" would read as
// "operator->".
KRENN_CLASS(Vec2, geo::Vec2, "A 2-D vector.", krenn::init<double, double>("x"_a = 0.0, "y"_a = 0.0),
            krenn::method<&geo::Vec2::length>("length", "Its length."),
            krenn::method<&geo::Vec2::scaled>("scaled", "Scaled by k.", "k"_a),
            krenn::method<&geo::Vec2::scale_by>("scale_by", "Scales in place.", "k"_a),
            krenn::method<&geo::Vec2::repr>("__repr__"),
            krenn::method<(&geo::Vec2::operator==)>("__eq__", "", "other"_a),
            krenn::method<(&geo::Vec2::operator+)>("__add__", "", "other"_a),
            krenn::method<(&geo::Vec2::operator-)>("__neg__"),
            krenn::static_method<&geo::Vec2::unit_x>("unit_x", "The unit vector along x."),
            krenn::field<&geo::Vec2::x>("x", "The x coordinate."),
            krenn::readonly<&geo::Vec2::y>("y", "The y coordinate."));

KRENN_CLASS(Polygon, geo::Polygon, "A polygon, its corners in order.", krenn::init<>(),
            krenn::method<&geo::Polygon::add>("add", "Adds a corner.", "point"_a),
            krenn::method<&geo::Polygon::size>("__len__"),
            krenn::method<&geo::Polygon::at>("__getitem__", "", "index"_a),
            krenn::property<&geo::Polygon::area>("area", "The enclosed area."));

KRENN_DEF(dot, &geo::dot, "The dot product.", "a"_a, "b"_a);

KRENN_MODULE(geo, "2-D geometry.", Vec2, Polygon, dot);
