// Shared pieces of the test-only module that reaches the frame's internals.
#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "krenn/boundary.hpp"
#include "krenn/error.hpp"
#include "krenn/module.hpp"

namespace krenn::testing {

// Entries in the frame's own trampoline, so panics become PanicException.
using Body = Result<PyObject*> (*)(PyObject* args);

template <Body body>
PyObject* entry(PyObject* /*self*/, PyObject* args) {
  return call_trampoline([&]() { return body(args); });
}

template <Body body>
constexpr PyMethodDef def(const char* name) {
  return {name, reinterpret_cast<PyCFunction>(entry<body>), METH_VARARGS, nullptr};
}

// A failed PyArg_ParseTuple and the like.
[[nodiscard]] inline std::unexpected<PyErr> fetched() { return failure(fetch_error()); }

[[nodiscard]] inline Result<PyObject*> none() { Py_RETURN_NONE; }

using Methods = std::vector<PyMethodDef>;
void add_pool_methods(Methods& out);
void add_error_methods(Methods& out);
void add_panic_methods(Methods& out);
void add_argument_methods(Methods& out);
void add_module_methods(Methods& out);
void add_stress_methods(Methods& out);
void add_alloc_methods(Methods& out);
void add_stubbed_methods(Methods& out);
// Functions declared as the shipped module's are.
[[nodiscard]] Result<void> add_declared_functions(PyObject* module);
// Functions for each converted type, added with them.
[[nodiscard]] std::span<const MethodSpec* const> converter_specs();
// Functions that take callbacks and buffers.
[[nodiscard]] std::span<const MethodSpec* const> callback_specs();
// Functions over the standard library's types, and their stub records.
[[nodiscard]] std::span<const MethodSpec* const> stdlib_specs();
void add_stdlib_methods(Methods& out);

}  // namespace krenn::testing
