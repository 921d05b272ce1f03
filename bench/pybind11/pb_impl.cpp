#include <pybind11/pybind11.h>
#include <cstdint>
#include <string>

namespace py = pybind11;
using namespace py::literals;

PYBIND11_MODULE(bench_pybind11, m) {
    m.def(
        "sum_as_string",
        [](uint64_t a, uint64_t b) { return std::to_string(a + b); },
        "a"_a, "b"_a);
}
