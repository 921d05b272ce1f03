// Bodies that panic, nest, or hand the trampoline what it must refuse.
#include <any>

#include "krenn/pool.hpp"
#include "testmod.hpp"

namespace krenn::testing {

namespace {

Result<PyObject*> panic_with_owned(PyObject* args) {
  const char* text;
  if (!PyArg_ParseTuple(args, "s", &text)) return fetched();
  panic_owned(std::string(text));
}

Result<PyObject*> panic_with_constant(PyObject*) { panic("a constant panic message"); }

Result<PyObject*> panic_with_any(PyObject*) { panic_any(std::any(42)); }

// Registers one more reference to obj in this entry's pool, then calls back.
Result<PyObject*> hold_and_call(PyObject* args) {
  PyObject *obj, *callable;
  if (!PyArg_ParseTuple(args, "OO", &obj, &callable)) return fetched();
  Py_INCREF(obj);
  register_owned(obj);
  PyObject* result = PyObject_CallNoArgs(callable);
  if (!result) return fetched();
  return result;
}

Result<PyObject*> return_normalizing(PyObject*) { return failure(PyErr::normalizing()); }

// An exception that is not a panic reaching the boundary.
Result<PyObject*> throw_foreign(PyObject*) { throw 7; }

}  // namespace

void add_panic_methods(Methods& out) {
  out.insert(out.end(), {
                            def<panic_with_owned>("panic_with_owned"),
                            def<panic_with_constant>("panic_with_constant"),
                            def<panic_with_any>("panic_with_any"),
                            def<hold_and_call>("hold_and_call"),
                            def<return_normalizing>("return_normalizing"),
                            def<throw_foreign>("throw_foreign"),
                        });
}

}  // namespace krenn::testing
