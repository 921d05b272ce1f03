// A module declared with KRENN_MODULE inside the test module: its stub is the
// test module's (_krenn_testing-stubs), and stubbed_module() makes it, so
// tests compare the two.
#include "krenn/function.hpp"
#include "testmod.hpp"

namespace krenn::testing {
namespace stubbed {

std::string_view greet(std::string_view who) { return who; }
KRENN_FUNCTION(greet, "Returns who.", "who"_a = "w\xc3\xb6rld \xe2\x98\x83 \xf0\x9f\x98\x80\x1f'");

double scale(std::int64_t gr\u00f6\u00dfe, double faktor) {
  return static_cast<double>(gr\u00f6\u00dfe) * faktor;
}
KRENN_FUNCTION(scale,
               "Scales gr\xc3\xb6\xc3\x9f"
               "e.",
               "gr\xc3\xb6\xc3\x9f"
               "e"_a,
               "faktor"_a = 0.5);

const char* maybe_str(bool given) { return given ? "text" : nullptr; }
KRENN_FUNCTION(maybe_str, "\"\"\"quoted\"\"\" \\ \\n\ttab\r\x01\x1f\x7f end\"", "given"_a);

namespace inner {
std::int64_t twice(std::int64_t x) { return 2 * x; }
KRENN_FUNCTION(twice, "", "x"_a);
}  // namespace inner

KRENN_MODULE(_krenn_stubbed, "A module \"\"\"with\"\"\" a doc\x1f.", greet, scale, maybe_str,
             twice);

}  // namespace stubbed

namespace {

Result<PyObject*> stubbed_module(PyObject*) {
  return make_module(stubbed::_krenn_stubbed_module_spec);
}

}  // namespace

void add_stubbed_methods(Methods& out) { out.push_back(def<stubbed_module>("stubbed_module")); }

}  // namespace krenn::testing
