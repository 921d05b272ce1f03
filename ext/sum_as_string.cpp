// sum_as_string(a, b): the decimal text of a + b modulo 2**64.
#include <krenn/krenn.hpp>

namespace krenn_python {

using namespace krenn::literals;

krenn::Result<PyObject*> sum_as_string(std::uint64_t a, std::uint64_t b) {
  return krenn::new_decimal_str(a + b);  // wraps modulo 2**64 by design
}

KRENN_FUNCTION(sum_as_string, "Formats the sum of two numbers as string.", "a"_a, "b"_a,
               krenn::returns("str"));

}  // namespace krenn_python
