// float and double, both ways. Parameters take what PyFloat_AsDouble takes:
// float, int, and objects with __float__ or __index__.
#pragma once

#include <Python.h>

#include <concepts>
#include <string_view>

#include "krenn/converter.hpp"

namespace krenn {

namespace detail {

[[nodiscard]] Result<double> argument_to_double(PyObject* obj, std::string_view name);

}  // namespace detail

template <std::floating_point T>
requires(!std::same_as<T, long double>) struct Converter<T> {
  static constexpr std::string_view python_name = "float";

  [[nodiscard]] static bool exact(PyObject* obj, T& out) noexcept {
    if (!PyFloat_CheckExact(obj)) return false;
    out = static_cast<T>(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  [[nodiscard]] static Result<T> convert(PyObject* obj, std::string_view name) {
    Result<double> value = detail::argument_to_double(obj, name);
    if (!value) [[unlikely]]
      return failure(std::move(value.error()));
    return static_cast<T>(*value);
  }
  [[nodiscard]] static Result<PyObject*> to_python(T value) {
    PyObject* obj = PyFloat_FromDouble(value);
    if (!obj) [[unlikely]]
      return detail::result_failed();
    return obj;
  }
};

}  // namespace krenn
