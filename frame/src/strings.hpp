// New strs for constant texts, below everything that names attributes.
#pragma once

#include <Python.h>

#include <string_view>

namespace krenn {

// Pool references; these cannot fail short of the interpreter running out.
[[nodiscard]] PyObject* new_str(std::string_view text);
[[nodiscard]] PyObject* intern_text(std::string_view text);

}  // namespace krenn
