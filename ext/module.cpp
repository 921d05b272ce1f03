// The krenn_python module: its definition, its body and its one export.
#include <Python.h>

#include "ext/functions.hpp"
#include "impl/panic.hpp"
#include "types/module.hpp"

namespace {

using namespace krenn;

Result<void> module_body(PyObject* module) {
  Result<PyObject*> function = new_function(sum_as_string_spec, module);
  if (!function) return failure(std::move(function.error()));
  return add_function(module, *function);
}

constinit ModuleSpec krenn_python_spec{
    .def =
        {
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = "krenn_python",
            .m_doc = "A Python module implemented in C++.",
            .m_size = 0,
            .m_methods = nullptr,
            .m_slots = nullptr,
            .m_traverse = nullptr,
            .m_clear = nullptr,
            .m_free = nullptr,
        },
    .body = module_body,
    .initialized = 0,
};

}  // namespace

PyMODINIT_FUNC PyInit_krenn_python() {
  return call_trampoline([]() { return make_module(krenn_python_spec); });
}
