// geo::Vec2 and dot on the Krenn frame, declared as a user would declare
// them.
#include <krenn/krenn.hpp>

#include "../vec2.hpp"

using namespace krenn::literals;

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
KRENN_MODULE(bench_krenn_classes, "The class group on the Krenn frame.", Vec2, dot);
