// Module creation, function objects, attributes and text forms.
#include "format.hpp"
#include "krenn/module.hpp"
#include "module_names.hpp"
#include "testmod.hpp"

namespace krenn::testing {

namespace {

Result<PyObject*> as_bytes_view(PyObject* bytes, std::string_view& out) {
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return fetched();
  out = std::string_view(data, static_cast<std::size_t>(size));
  return nullptr;
}

// (owned, points into the given bytes, the NUL-terminated text).
Result<PyObject*> c_text(PyObject* args) {
  PyObject* bytes;
  const char* message;
  if (!PyArg_ParseTuple(args, "O!s", &PyBytes_Type, &bytes, &message)) return fetched();
  std::string_view text;
  if (Result<PyObject*> r = as_bytes_view(bytes, text); !r) return r;
  Result<CText> made = make_c_text(text, PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 1)));
  if (!made) return failure(std::move(made.error()));
  bool in_place = made->c_str() == PyBytes_AS_STRING(bytes);
  return Py_BuildValue("(OOy)", made->is_owned() ? Py_True : Py_False,
                       in_place ? Py_True : Py_False, made->c_str());
}

Result<PyObject*> noop_body(PyObject*) { return none(); }

PyObject* noop_fastcall(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
  return call_trampoline([]() { return noop_body(nullptr); });
}

// A function object from texts given here; both are leaked with the record.
Result<PyObject*> function_from(PyObject* args) {
  PyObject *name, *doc, *module;
  if (!PyArg_ParseTuple(args, "O!O!O", &PyBytes_Type, &name, &PyBytes_Type, &doc, &module))
    return fetched();
  Py_INCREF(name);  // the texts must live as long as the function
  Py_INCREF(doc);
  MethodSpec spec{noop_fastcall,
                  {PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name))},
                  {PyBytes_AS_STRING(doc), static_cast<std::size_t>(PyBytes_GET_SIZE(doc))},
                  METH_FASTCALL | METH_KEYWORDS};
  Result<PyObject*> function = new_function(spec, module);
  if (!function) return failure(std::move(function.error()));
  Py_INCREF(*function);
  return *function;
}

Result<PyObject*> add_function_to(PyObject* args) {
  PyObject *module, *function;
  if (!PyArg_ParseTuple(args, "OO", &module, &function)) return fetched();
  if (Result<void> added = add_function(module, function); !added)
    return failure(std::move(added.error()));
  return none();
}

Result<PyObject*> all_of(PyObject* args) {
  PyObject* module;
  if (!PyArg_ParseTuple(args, "O", &module)) return fetched();
  Result<PyObject*> all = module_all(module);
  if (!all) return failure(std::move(all.error()));
  Py_INCREF(*all);
  return *all;
}

Result<PyObject*> name_of(PyObject* args) {
  PyObject* module;
  if (!PyArg_ParseTuple(args, "O", &module)) return fetched();
  Result<std::string_view> name = module_name(module);
  if (!name) return failure(std::move(name.error()));
  return PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
}

// (text, owned copy made).
Result<PyObject*> lossy(PyObject* args) {
  PyObject* str;
  if (!PyArg_ParseTuple(args, "U", &str)) return fetched();
  LossyText text = text_lossy(str);
  return Py_BuildValue("(s#O)", text.view().data(), static_cast<Py_ssize_t>(text.view().size()),
                       text.is_owned() ? Py_True : Py_False);
}

Result<PyObject*> text_result(FormatResult result, const std::string& text) {
  if (!result) {
    PyErr_SetString(PyExc_RuntimeError, "formatting failed");
    return fetched();
  }
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

Result<PyObject*> display(PyObject* args) {
  PyObject* obj;
  if (!PyArg_ParseTuple(args, "O", &obj)) return fetched();
  TextBuffer text;
  if (Result<void> shown = display_object(obj, text); !shown)
    return failure(std::move(shown.error()));
  return PyUnicode_FromStringAndSize(text.view().data(),
                                     static_cast<Py_ssize_t>(text.view().size()));
}

Result<PyObject*> debug(PyObject* args) {
  PyObject* obj;
  if (!PyArg_ParseTuple(args, "O", &obj)) return fetched();
  TextBuffer text;
  FormatResult r = debug_object(obj, text);
  return text_result(r, std::string(text.view()));
}

Result<PyObject*> qualname(PyObject* args) {
  PyObject* type;
  if (!PyArg_ParseTuple(args, "O", &type)) return fetched();
  Result<std::string_view> name = type_qualname(type);
  if (!name) return failure(std::move(name.error()));
  return PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
}

Result<PyObject*> extract(PyObject* args) {
  PyObject* obj;
  if (!PyArg_ParseTuple(args, "O", &obj)) return fetched();
  Result<std::string_view> text = extract_text(obj);
  if (!text) return failure(std::move(text.error()));
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

Result<PyObject*> interned(PyObject* args) {
  const char* which;
  if (!PyArg_ParseTuple(args, "s", &which)) return fetched();
  std::string_view w(which);
  InternedName& name = w == "__name__" ? name_name : w == "__all__" ? all_name : qualname_name;
  PyObject* obj = name.get();
  Py_INCREF(obj);
  return obj;
}

// Specs for make_module: one that works, one whose creation fails (a method
// with impossible flags), one whose body fails.
PyMethodDef bad_methods[] = {
    {"bad", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(noop_fastcall)), 0x7fff,
     nullptr},
    {nullptr, nullptr, 0, nullptr}};

// As KRENN_MODULE's body for a module without items.
Result<void> ok_body(PyObject* module) {
  if (Result<void> empty = add_empty_all(module); !empty) return empty;
  return set_attr_text(module, "marker", new_ref(Py_True));
}

Result<void> failing_body(PyObject*) { return failure(new_value_error("body failed")); }

constinit ModuleSpec ok_spec{
    .def = {PyModuleDef_HEAD_INIT, "krenn_test_ok", nullptr, 0, nullptr, nullptr, nullptr, nullptr,
            nullptr},
    .body = ok_body,
    .initialized = 0,
};
constinit ModuleSpec bad_create_spec{
    .def = {PyModuleDef_HEAD_INIT, "krenn_test_bad_create", nullptr, 0, bad_methods, nullptr,
            nullptr, nullptr, nullptr},
    .body = ok_body,
    .initialized = 0,
};
constinit ModuleSpec bad_body_spec{
    .def = {PyModuleDef_HEAD_INIT, "krenn_test_bad_body", nullptr, 0, nullptr, nullptr, nullptr,
            nullptr, nullptr},
    .body = failing_body,
    .initialized = 0,
};

ModuleSpec* spec_named(PyObject* args) {
  const char* which;
  if (!PyArg_ParseTuple(args, "s", &which)) return nullptr;
  std::string_view w(which);
  if (w == "ok") return &ok_spec;
  if (w == "bad_create") return &bad_create_spec;
  if (w == "bad_body") return &bad_body_spec;
  PyErr_SetString(PyExc_ValueError, "unknown spec");
  return nullptr;
}

Result<PyObject*> make_module_from(PyObject* args) {
  ModuleSpec* spec = spec_named(args);
  if (!spec) return fetched();
  return make_module(*spec);
}

Result<PyObject*> spec_initialized(PyObject* args) {
  ModuleSpec* spec = spec_named(args);
  if (!spec) return fetched();
  return PyBool_FromLong(spec->initialized.load());
}

// Lets a test break the module's creation and repair it again.
Result<PyObject*> set_bad_create(PyObject* args) {
  int broken;
  if (!PyArg_ParseTuple(args, "p", &broken)) return fetched();
  bad_create_spec.def.m_methods = broken ? bad_methods : nullptr;
  return none();
}

}  // namespace

void add_module_methods(Methods& out) {
  out.insert(out.end(), {
                            def<c_text>("make_c_text"),
                            def<function_from>("new_function"),
                            def<add_function_to>("add_function"),
                            def<all_of>("module_all"),
                            def<name_of>("module_name"),
                            def<lossy>("text_lossy"),
                            def<display>("display_object"),
                            def<debug>("debug_object"),
                            def<qualname>("type_qualname"),
                            def<extract>("extract_text"),
                            def<interned>("interned"),
                            def<make_module_from>("make_module"),
                            def<spec_initialized>("spec_initialized"),
                            def<set_bad_create>("set_bad_create"),
                        });
}

}  // namespace krenn::testing
