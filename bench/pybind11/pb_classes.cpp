#include <pybind11/operators.h>
#include <pybind11/pybind11.h>

#include "../vec2.hpp"

namespace py = pybind11;
using namespace py::literals;

PYBIND11_MODULE(bench_pybind11_classes, m) {
    py::class_<geo::Vec2>(m, "Vec2", "A 2-D vector.")
        .def(py::init<double, double>(), "x"_a = 0.0, "y"_a = 0.0)
        .def("length", &geo::Vec2::length, "Its length.")
        .def("scaled", &geo::Vec2::scaled, "k"_a, "Scaled by k.")
        .def("scale_by", &geo::Vec2::scale_by, "k"_a, "Scales in place.")
        .def("__repr__", &geo::Vec2::repr)
        .def(py::self == py::self)
        .def_static("unit_x", &geo::Vec2::unit_x, "The unit vector along x.")
        .def_readwrite("x", &geo::Vec2::x, "The x coordinate.")
        .def_readonly("y", &geo::Vec2::y, "The y coordinate.");
    m.def("dot", &geo::dot, "a"_a, "b"_a, "The dot product.");
}
