// Errors whose texts were composed for them, which they own. A source of its
// own: beside the builders of constant texts it changes how those compile.
#include "krenn/error.hpp"

namespace krenn {

PyErr new_error_of(PyObject* type, std::string text) {
  if (!type) api_call_failed();
  return PyErr::lazy(ErrBuilder(ErrBuilder::Kind::with_type, std::move(text), Py_NewRef(type)));
}

}  // namespace krenn
