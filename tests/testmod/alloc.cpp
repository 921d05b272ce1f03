// Allocation failure on demand: operator new of this module's code (the frame
// linked into it included) throws std::bad_alloc at a chosen call.
#include <dlfcn.h>

#include <cstdint>
#include <new>

#include "krenn/module.hpp"
#include "testmod.hpp"

namespace krenn_python {
extern const krenn::MethodSpec sum_as_string_spec;
}

namespace {

// Calls until the failing one; negative: none armed.
constinit thread_local std::int64_t calls_until_failure = -1;

using NewFn = void* (*)(std::size_t);

// The process's own operator new, which also pairs with its operator delete
// (a sanitizer's, when one is loaded).
void* next_new(std::size_t size, const char* symbol) {
  static NewFn scalar = reinterpret_cast<NewFn>(dlsym(RTLD_NEXT, "_Znwm"));
  static NewFn array = reinterpret_cast<NewFn>(dlsym(RTLD_NEXT, "_Znam"));
  NewFn fn = symbol[3] == 'w' ? scalar : array;
  return fn(size);
}

void* counted_new(std::size_t size, const char* symbol) {
  if (calls_until_failure >= 0 && calls_until_failure-- == 0) throw std::bad_alloc();
  return next_new(size, symbol);
}

}  // namespace

void* operator new(std::size_t size) { return counted_new(size, "_Znwm"); }
void* operator new[](std::size_t size) { return counted_new(size, "_Znam"); }

namespace krenn::testing {

namespace {

// fail_allocation(n): the n-th operator new from now (0 = the next) throws.
PyObject* fail_allocation(PyObject*, PyObject* args) {
  long long n;
  if (!PyArg_ParseTuple(args, "L", &n)) return nullptr;
  calls_until_failure = n;
  Py_RETURN_NONE;
}

// Whether the armed failure has not happened yet; disarms it.
PyObject* allocation_failure_pending(PyObject*, PyObject*) {
  bool pending = calls_until_failure >= 0;
  calls_until_failure = -1;
  return PyBool_FromLong(pending);
}

Result<PyObject*> throw_bad_alloc(PyObject*) { throw std::bad_alloc(); }

// The shipped sum_as_string, built from the same source into this module, so
// that the hooks above reach it.
PyObject* sum_as_string_here(PyObject* self, PyObject*) {
  return call_trampoline([&]() -> Result<PyObject*> {
    Result<PyObject*> function = new_function(krenn_python::sum_as_string_spec, self);
    if (!function) return function;
    Py_INCREF(*function);
    return *function;
  });
}

}  // namespace

void add_alloc_methods(Methods& out) {
  out.insert(out.end(),
             {
                 {"fail_allocation", fail_allocation, METH_VARARGS, nullptr},
                 {"allocation_failure_pending", allocation_failure_pending, METH_NOARGS, nullptr},
                 def<throw_bad_alloc>("throw_bad_alloc"),
                 {"sum_as_string", sum_as_string_here, METH_NOARGS, nullptr},
             });
}

}  // namespace krenn::testing
