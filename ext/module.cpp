// The krenn_python module: its definition, its body and its one export.
#include <Python.h>

#include "ext/functions.hpp"
#include "impl/panic.hpp"
#include "types/module.hpp"

namespace {

using namespace krenn;

constexpr const MethodSpec* functions[] = {KRENN_PYTHON_FUNCTIONS(KRENN_SPEC_ADDRESS)};

Result<void> module_body(PyObject* module) { return add_functions(module, functions); }

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
