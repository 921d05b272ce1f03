#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <cstdint>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(bench_nanobind, m) {
    m.def(
        "sum_as_string",
        [](uint64_t a, uint64_t b) { return std::to_string(a + b); },
        "a"_a, "b"_a);
}
