// _krenn_testing: the frame's internals, reachable from pytest.
#include "krenn/module.hpp"
#include "testmod.hpp"

namespace {

using namespace krenn;
using namespace krenn::testing;

testing::Methods& all_methods() {
  static testing::Methods methods = [] {
    testing::Methods m;
    add_pool_methods(m);
    add_error_methods(m);
    add_panic_methods(m);
    add_argument_methods(m);
    add_module_methods(m);
    add_stress_methods(m);
    add_alloc_methods(m);
    add_stubbed_methods(m);
    add_stdlib_methods(m);
    m.push_back({nullptr, nullptr, 0, nullptr});
    return m;
  }();
  return methods;
}

Result<void> testing_body(PyObject* module) {
  if (PyModule_AddFunctions(module, all_methods().data()) != 0) return failure(fetch_error());
  return add_declared_functions(module);
}

constinit ModuleSpec testing_spec{
    .def = {PyModuleDef_HEAD_INIT, "_krenn_testing", "Internals of the Krenn frame, for tests.", 0,
            nullptr, nullptr, nullptr, nullptr, nullptr},
    .body = testing_body,
    .initialized = 0,
};

}  // namespace

PyMODINIT_FUNC PyInit__krenn_testing() { return module_entry(testing_spec); }
