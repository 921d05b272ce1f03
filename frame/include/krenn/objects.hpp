// Any Python object, as a parameter or a result: Handle borrows it for the
// call, Object holds a reference of its own.
#pragma once

#include <Python.h>

#include <string_view>

#include "krenn/converter.hpp"
#include "krenn/object.hpp"

namespace krenn {

template <>
struct Converter<Handle> {
  static constexpr std::string_view python_name = "object";

  [[nodiscard]] static bool exact(PyObject* obj, Handle& out) noexcept {
    out = Handle(obj);
    return true;
  }
  [[nodiscard]] static Result<Handle> convert(PyObject* obj, std::string_view) {
    return Handle(obj);
  }
  // An empty result is NULL: the function raises it as a TypeError.
  static constexpr bool may_be_empty = true;
  // A new reference for the caller; the lender keeps its own.
  [[nodiscard]] static Result<PyObject*> to_python(Handle value) noexcept {
    return Py_XNewRef(value.get());
  }
};

template <>
struct Converter<Object> {
  static constexpr std::string_view python_name = "object";

  [[nodiscard]] static bool exact(PyObject* obj, Object& out) noexcept {
    out = Object::borrow(obj);
    return true;
  }
  [[nodiscard]] static Result<Object> convert(PyObject* obj, std::string_view) {
    return Object::borrow(obj);
  }
  static constexpr bool may_be_empty = true;
  // Handed over: the Object lets go without releasing.
  [[nodiscard]] static Result<PyObject*> to_python(Object value) noexcept {
    return value.release();
  }
};

}  // namespace krenn
