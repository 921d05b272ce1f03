#include "cpp_exceptions.hpp"

#include <Python.h>

#include <cstring>
#include <stdexcept>

#include "krenn/boundary.hpp"

namespace krenn::detail {

constinit ExceptionTranslator* exception_translators = nullptr;

namespace {

constexpr std::string_view foreign_message =
    "a C++ exception that is not a std::exception reached the entry boundary";

void set_error(PyObject* type, const char* what) {
  // what() is not always UTF-8, nor always a text: nullptr is an empty one.
  if (!what) what = "";
  PyObject* message =
      PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace");
  if (!message) return;  // the decode's own error (MemoryError) stands
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

// The Python type for a C++ exception, as C++ binding libraries commonly map
// them: one catch and a few casts keep this small.
PyObject* python_type(const std::exception& e) {
  if (dynamic_cast<const std::out_of_range*>(&e)) return PyExc_IndexError;
  if (dynamic_cast<const std::overflow_error*>(&e)) return PyExc_OverflowError;
  if (dynamic_cast<const std::invalid_argument*>(&e) ||
      dynamic_cast<const std::domain_error*>(&e) || dynamic_cast<const std::length_error*>(&e) ||
      dynamic_cast<const std::range_error*>(&e))
    return PyExc_ValueError;
  return PyExc_RuntimeError;
}

// A bound class for e: its own type's, else the newest that catches it.
PyObject* bound_type(const std::exception& e) {
  for (ExceptionTranslator* t = exception_translators; t; t = t->next)
    if (*t->cpp == typeid(e)) return t->type;
  for (ExceptionTranslator* t = exception_translators; t; t = t->next)
    if (t->catches()) return t->type;
  return nullptr;
}

}  // namespace

void restore_cpp_exception() {
  // restore_caught has taken errors that raise themselves.
  try {
    throw;
  } catch (const std::exception& e) {
    PyObject* bound = exception_translators ? bound_type(e) : nullptr;
    set_error(bound ? bound : python_type(e), e.what());
  } catch (...) {
    // Nothing to read a message from: the process goes on, as after a panic.
    restore_outcome(new_panic_exception(foreign_message));
  }
}

}  // namespace krenn::detail
