// The krenn_python module: its doc and its functions, in the order of __all__.
#include <krenn/krenn.hpp>

namespace krenn_python {

KRENN_MODULE(krenn_python, "A Python module implemented in C++.", sum_as_string);

}  // namespace krenn_python
