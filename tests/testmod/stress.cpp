// Native threads for stress tests.
#include "testmod.hpp"

namespace krenn::testing {

void add_stress_methods(Methods&) {}

}  // namespace krenn::testing
