// The native functions of krenn_python.
#pragma once

#include "types/module.hpp"

namespace krenn {

extern const MethodSpec sum_as_string_spec;

}  // namespace krenn
