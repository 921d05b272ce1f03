// The functions of krenn_python, one line each, in the order of __all__. Each
// is declared, with its body, in ext/<name>.cpp.
#pragma once

#include "impl/function.hpp"

// clang-format off
#define KRENN_PYTHON_FUNCTIONS(F) \
  F(sum_as_string)
// clang-format on

namespace krenn {

KRENN_PYTHON_FUNCTIONS(KRENN_DECLARE_SPEC)

}  // namespace krenn
