// A module built on the Krenn frame, as its README shows.
#include <krenn/krenn.hpp>
using namespace krenn::literals;

krenn::Result<PyObject*> add(std::uint64_t a, std::uint64_t b) {
  return krenn::new_decimal_str(a + b);
}
KRENN_FUNCTION(add, "Adds.", "a"_a, "b"_a);

KRENN_MODULE(demo, "A demo module.", add);
