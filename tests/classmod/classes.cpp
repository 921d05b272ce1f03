// Bound classes for the tests: a small vector type and friends.
#include <krenn/krenn.hpp>

#include <cmath>
#include <cstdint>
#include <vector>
#include <memory>
#include <stdexcept>
#include <string>

using namespace krenn::literals;

#include "geo.hpp"

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

namespace shapes {

// A base class and one derived from it.
struct Shape {
  virtual ~Shape() = default;
  [[nodiscard]] virtual double area() const { return 0; }
  std::string name = "shape";
};
struct Square : Shape {
  explicit Square(double side_) : side(side_) { name = "square"; }
  [[nodiscard]] double area() const override { return side * side; }
  double side;
};
double area_of(const Shape& s) { return s.area(); }
std::string name_of(const Shape* s) { return s->name; }

// A container of vectors: sequence methods, references into itself, and
// several constructors.
struct Path {
  Path() = default;
  explicit Path(std::int64_t n) : points(static_cast<std::size_t>(n), geo::Vec2(0, 0)) {}
  Path(const geo::Vec2& a, const geo::Vec2& b) : points{a, b} {}
  std::vector<geo::Vec2> points;
  std::size_t cursor = 0;

  [[nodiscard]] std::size_t size() const { return points.size(); }
  geo::Vec2& at(std::int64_t i) {
    if (i < 0 || static_cast<std::size_t>(i) >= points.size()) throw std::out_of_range("index");
    return points[static_cast<std::size_t>(i)];
  }
  void set(std::int64_t i, const geo::Vec2& v) { at(i) = v; }
  [[nodiscard]] bool contains(const geo::Vec2& v) const {
    for (const auto& p : points)
      if (p == v) return true;
    return false;
  }
  [[nodiscard]] bool nonempty() const { return !points.empty(); }
  Path& add(const geo::Vec2& v) {
    points.push_back(v);
    return *this;
  }
  geo::Vec2& first() { return at(0); }
  [[nodiscard]] std::unique_ptr<Path> clone() const { return std::make_unique<Path>(*this); }
  [[nodiscard]] std::int64_t hash() const { return static_cast<std::int64_t>(points.size()); }
  [[nodiscard]] std::string str() const { return "path of " + std::to_string(points.size()); }
  [[nodiscard]] double sum_x_slowly() const {
    double sum = 0;
    for (const auto& p : points) sum += p.x;
    return sum;
  }
  std::int64_t call(std::int64_t k) const { return k * static_cast<std::int64_t>(points.size()); }
};

geo::Vec2 plus(const geo::Vec2& a, const geo::Vec2& b) { return {a.x + b.x, a.y + b.y}; }
geo::Vec2 minus(const geo::Vec2& a, const geo::Vec2& b) { return {a.x - b.x, a.y - b.y}; }
geo::Vec2 times(const geo::Vec2& a, double k) { return a.scaled(k); }
geo::Vec2 over(const geo::Vec2& a, double k) { return a.scaled(1 / k); }
geo::Vec2 negated(const geo::Vec2& a) { return a.scaled(-1); }
bool less(const geo::Vec2& a, const geo::Vec2& b) { return a.length() < b.length(); }

// Its destructor throws: reported as unraisable.
struct Grumpy {
  Grumpy() = default;
  Grumpy(const Grumpy&) = default;
  ~Grumpy() noexcept(false) { throw std::runtime_error("grumpy to the end"); }
};

// Counts live objects, for lifetimes.
inline std::int64_t live = 0;
struct Tracked {
  Tracked() { ++live; }
  Tracked(const Tracked&) { ++live; }
  ~Tracked() { --live; }
};
std::int64_t live_count() { return live; }

}  // namespace shapes

KRENN_CLASS(Shape, shapes::Shape, "A shape.",
            krenn::method<&shapes::Shape::area>("area", "Its area."),
            krenn::field<&shapes::Shape::name>("name"));
KRENN_CLASS(Square, shapes::Square, "A square.", krenn::base<shapes::Shape>,
            krenn::init<double>("side"_a), krenn::readonly<&shapes::Square::side>("side"));
KRENN_DEF(area_of, &shapes::area_of, "The area of a shape.", "shape"_a);
KRENN_DEF(name_of, &shapes::name_of, "The name of a shape.", "shape"_a);

KRENN_CLASS(Path, shapes::Path, "Points in order.", krenn::init<>(),
            krenn::init<std::int64_t>("n"_a),
            krenn::init<const geo::Vec2&, const geo::Vec2&>("a"_a, "b"_a),
            krenn::method<&shapes::Path::size>("__len__"),
            krenn::method<&shapes::Path::at>("__getitem__", "", "i"_a, krenn::reference_internal),
            krenn::method<&shapes::Path::set>("__setitem__", "", "i"_a, "v"_a),
            krenn::method<&shapes::Path::contains>("__contains__", "", "v"_a),
            krenn::method<&shapes::Path::nonempty>("__bool__"),
            krenn::method<&shapes::Path::add>("add", "Appends v.", "v"_a),
            krenn::method<&shapes::Path::first>("first", "", krenn::reference_internal),
            krenn::method<&shapes::Path::clone>("clone"),
            krenn::method<&shapes::Path::hash>("__hash__"),
            krenn::method<&shapes::Path::str>("__str__"),
            krenn::method<&shapes::Path::call>("__call__", "", "k"_a),
            krenn::method<&shapes::Path::sum_x_slowly>("sum_x", "", krenn::without_gil),
            krenn::property<&shapes::Path::size>("count", "How many points."));

KRENN_CLASS(Grumpy, shapes::Grumpy, "Throws when destroyed.", krenn::init<>());
KRENN_CLASS(Tracked, shapes::Tracked, "Counted.", krenn::init<>());
KRENN_DEF(live_count, &shapes::live_count, "Tracked objects alive.");

// Vec2's arithmetic, bound as a second class over the same type would be a
// duplicate: these are free functions taking the object first.
namespace ops {
struct Num {
  double v;
};
Num add(const Num& a, const Num& b) { return {a.v + b.v}; }
Num sub(const Num& a, const Num& b) { return {a.v - b.v}; }
Num mul(const Num& a, double k) { return {a.v * k}; }
Num div(const Num& a, double k) { return {a.v / k}; }
Num neg(const Num& a) { return {-a.v}; }
Num& iadd(Num& a, const Num& b) {
  a.v += b.v;
  return a;
}
bool lt(const Num& a, const Num& b) { return a.v < b.v; }
bool eq(const Num& a, const Num& b) { return a.v == b.v; }
double value(const Num& a) { return a.v; }
void construct(krenn::detail::Unconstructed<Num> self, double v) { self.construct(Num{v}); }
}  // namespace ops

KRENN_CLASS(Num, ops::Num, "A number.", krenn::init<double>("v"_a),
            krenn::method<&ops::add>("__add__", "", "other"_a),
            krenn::method<&ops::sub>("__sub__", "", "other"_a),
            krenn::method<&ops::mul>("__mul__", "", "k"_a),
            krenn::method<&ops::div>("__truediv__", "", "k"_a),
            krenn::method<&ops::neg>("__neg__"),
            krenn::method<&ops::iadd>("__iadd__", "", "other"_a, krenn::reference_internal),
            krenn::method<&ops::lt>("__lt__", "", "other"_a),
            krenn::method<&ops::eq>("__eq__", "", "other"_a),
            krenn::property<&ops::value>("v"));

KRENN_MODULE(_krenn_classes, "Bound classes, for tests.", Vec2, dot, Shape, Square, area_of,
             name_of, Path, Grumpy, Tracked, live_count, Num);
