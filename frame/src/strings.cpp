#include "strings.hpp"

#include "krenn/pool.hpp"
#include "krenn/runtime.hpp"

namespace krenn {

PyObject* new_str(std::string_view text) {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (!str) api_call_failed();
  register_owned(str);
  return str;
}

PyObject* intern_text(std::string_view text) {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (!str) api_call_failed();
  PyUnicode_InternInPlace(&str);
  if (!str) api_call_failed();
  register_owned(str);
  return str;
}

}  // namespace krenn
