// The out-of-line half of std::function parameters: references taken on any
// thread, and the errors.
#include "krenn/callback.hpp"

#include "text.hpp"

namespace krenn::detail {

void incref_anywhere(PyObject* obj) {
  if (gil_is_held()) {
    Py_INCREF(obj);
    return;
  }
  GilEnsureGuard gil = acquire_gil();
  Py_INCREF(obj);
}

PyErr not_callable(PyObject* obj, std::string_view name) {
  TextBuffer text;
  text += "argument '";
  text += name;
  text += "': '";
  text += Py_TYPE(obj)->tp_name;
  text += "' object is not callable";
  // As every conversion error: no context of its own.
  return new_caused_type_error(text.view(), std::nullopt);
}

void throw_result_error(PyObject* callable, PyObject* result, std::string_view expected,
                        PyErr cause) {
  TextBuffer text;
  text += "callback ";
  // Its __qualname__ where it has one (functions, krenn's too), else its type's.
  Owned name(PyObject_GetAttrString(callable, "__qualname__"));
  const char* utf8 = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  PyErr_Clear();
  text += utf8 ? utf8 : Py_TYPE(callable)->tp_name;
  text += ": its '";
  text += Py_TYPE(result)->tp_name;
  text += "' result does not convert to ";
  text += expected;
  throw python_error(new_caused_type_error(text.view(), std::move(cause)));
}

namespace {

constexpr const char* capsule_name = "krenn.function";

}  // namespace

Result<PyObject*> new_cpp_callable(PyMethodDef& def, void* function, PyCapsule_Destructor destroy) {
  Owned capsule(PyCapsule_New(function, capsule_name, nullptr));
  if (!capsule) return failure(fetch_error());
  PyObject* callable = PyCFunction_NewEx(&def, capsule.get(), nullptr);
  if (!callable) return failure(fetch_error());
  // Only now does the capsule own the function: on failure the caller still does.
  if (PyCapsule_SetDestructor(capsule.get(), destroy) != 0) api_call_failed();
  return callable;
}

void* cpp_callable_function(PyObject* capsule) noexcept {
  return PyCapsule_GetPointer(capsule, capsule_name);
}

PyErr callable_arity_error(std::size_t expected, Py_ssize_t given) {
  TextBuffer text;
  text += "callback() takes ";
  text.append_number(expected);
  text += expected == 1 ? " positional argument but " : " positional arguments but ";
  text.append_number(static_cast<std::uint64_t>(given));
  text += given == 1 ? " was given" : " were given";
  return type_error_from_text(text.view());
}

}  // namespace krenn::detail
