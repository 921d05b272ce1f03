#include <pybind11/pybind11.h>
#include <pybind11/functional.h>
#include <pybind11/stl.h>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace py = pybind11;
using namespace py::literals;

PYBIND11_MODULE(bench_pybind11_stdlib, m) {
    m.def(
        "total",
        [](const std::vector<double> &xs) {
            double sum = 0.0;
            for (double x : xs) sum += x;
            return sum;
        },
        "xs"_a);
    m.def(
        "count_words",
        [](const std::unordered_map<std::string, int64_t> &d) {
            uint64_t sum = 0;
            for (const auto &kv : d) sum += static_cast<uint64_t>(kv.second);
            return static_cast<int64_t>(sum);
        },
        "d"_a);
    m.def("apply", [](const std::function<int64_t(int64_t)> &f, int64_t x) { return f(x); },
          "f"_a, "x"_a);
    m.def("inc", [](int64_t x) { return static_cast<int64_t>(static_cast<uint64_t>(x) + 1); },
          "x"_a);
}
