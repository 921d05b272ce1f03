#include <nanobind/nanobind.h>
#include <nanobind/operators.h>
#include <nanobind/stl/string.h>

#include "../vec2.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(bench_nanobind_classes, m) {
    nb::class_<geo::Vec2>(m, "Vec2", "A 2-D vector.")
        .def(nb::init<double, double>(), "x"_a = 0.0, "y"_a = 0.0)
        .def("length", &geo::Vec2::length, "Its length.")
        .def("scaled", &geo::Vec2::scaled, "k"_a, "Scaled by k.")
        .def("scale_by", &geo::Vec2::scale_by, "k"_a, "Scales in place.")
        .def("__repr__", &geo::Vec2::repr)
        .def(nb::self == nb::self)
        .def_static("unit_x", &geo::Vec2::unit_x, "The unit vector along x.")
        .def_rw("x", &geo::Vec2::x, "The x coordinate.")
        .def_ro("y", &geo::Vec2::y, "The y coordinate.");
    m.def("dot", &geo::dot, "a"_a, "b"_a, "The dot product.");
}
