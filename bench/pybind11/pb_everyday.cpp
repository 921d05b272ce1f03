#include <pybind11/pybind11.h>
#include <cstdint>
#include <string>

namespace py = pybind11;
using namespace py::literals;

PYBIND11_MODULE(bench_pybind11_everyday, m) {
    m.def("scale", [](double x, int64_t k) { return x * static_cast<double>(k); }, "x"_a, "k"_a);
    m.def(
        "shout",
        [](std::string s) {
            for (char &c : s)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            return s;
        },
        "s"_a);
    m.def("is_even", [](int64_t n) { return n % 2 == 0; }, "n"_a);
    m.def("nothing", []() {});
}
