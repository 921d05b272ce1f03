// bool, both ways. Parameters take True and False only.
#pragma once

#include <Python.h>

#include <string_view>

#include "krenn/converter.hpp"

namespace krenn {

template <>
struct Converter<bool> {
  static constexpr std::string_view python_name = "bool";

  [[nodiscard]] static bool exact(PyObject* obj, bool& out) noexcept {
    out = obj == Py_True;
    return out || obj == Py_False;
  }
  [[nodiscard]] static Result<bool> convert(PyObject* obj, std::string_view name) {
    if (bool value; exact(obj, value)) return value;
    return failure(detail::wrong_type(obj, name, "PyBool"));
  }
  [[nodiscard]] static Result<PyObject*> to_python(bool value) noexcept {
    return Py_NewRef(value ? Py_True : Py_False);
  }
};

}  // namespace krenn
