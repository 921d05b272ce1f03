#include "krenn/module.hpp"

#include <memory>

#include "format.hpp"
#include "krenn/pool.hpp"
#include "module_names.hpp"
#include "once.hpp"
#include "strings.hpp"
#include "utf8.hpp"

namespace krenn {

constinit InternedName name_name{"__name__"};
constinit InternedName all_name{"__all__"};

namespace {

constexpr char empty_text[] = "";

// Records live for the rest of the process. Chained from a static, they stay
// reachable after their function objects are gone, so leak checkers see them
// kept rather than lost. Changed only under the GIL.
struct KeptRecord {
  MethodRecord record;
  KeptRecord* next;
};
constinit KeptRecord* kept_records = nullptr;

}  // namespace

PyObject* module_entry(ModuleSpec& spec) {
  return call_trampoline([&] { return make_module(spec); });
}

Result<PyObject*> make_module(ModuleSpec& spec) {
  PyObject* module = PyModule_Create2(&spec.def, module_api_version);
  if (!module) return failure(fetch_error());
  if (spec.initialized.exchange(1, std::memory_order_seq_cst) != 0) {
    release_ref(module);
    return failure(
        new_import_error("Krenn modules may only be initialized once per interpreter process"));
  }
  detail::register_fork_handlers();
  if (Result<void> filled = spec.body(module); !filled) {
    release_ref(module);
    return failure(std::move(filled.error()));
  }
  return module;
}

Result<void> add_empty_all(PyObject* module) {
  // Through the dict: a failed attribute lookup would fetch an error, which
  // makes the panic type at import.
  Owned list(PyList_New(0));
  if (!list || PyDict_SetItem(PyModule_GetDict(module), all_name.get(), list.get()) != 0)
    return failure(fetch_error());
  return {};
}

Result<CText> make_c_text(std::string_view text, std::string_view message) {
  if (text.empty()) return CText(empty_text);
  if (text.back() == '\0') {
    if (text.substr(0, text.size() - 1).find('\0') != std::string_view::npos)
      return failure(new_value_error(message));
    return CText(text.data());
  }
  if (text.find('\0') != std::string_view::npos) return failure(new_value_error(message));
  auto copy = std::make_unique_for_overwrite<char[]>(text.size() + 1);
  text.copy(copy.get(), text.size());
  copy[text.size()] = '\0';
  return CText(std::move(copy));
}

Result<MethodRecord> build_method_record(const MethodSpec& spec) {
  Result<CText> name = make_c_text(spec.name, "function name cannot contain NUL byte.");
  if (!name) return failure(std::move(name.error()));
  Result<CText> doc = make_c_text(spec.doc, "function doc cannot contain NUL byte.");
  if (!doc) return failure(std::move(doc.error()));
  PyMethodDef def{};
  def.ml_name = name->c_str();
  def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spec.entry));
  def.ml_flags = spec.flags;
  def.ml_doc = doc->c_str();
  return MethodRecord{def, std::move(*name), std::move(*doc)};
}

Result<std::string_view> module_name(PyObject* module) {
  const char* name = PyModule_GetName(module);
  if (!name) return failure(fetch_error());
  std::string_view text(name);
  if (auto bad = check_utf8(text)) {
    TextBuffer message;
    message += "PyModule_GetName expected to return utf8: ";
    message += describe_utf8_error(*bad);
    panic_owned(std::string(message.view()));
  }
  return text;
}

Result<PyObject*> new_function(const MethodSpec& spec, PyObject* module) {
  Result<std::string_view> name = module_name(module);
  if (!name) return failure(std::move(name.error()));
  PyObject* module_str = new_str(*name);
  Result<MethodRecord> record = build_method_record(spec);
  if (!record) return failure(std::move(record.error()));
  // CPython keeps the block's address in the function object, and the block
  // keeps the texts' addresses: both live for the rest of the process.
  auto* kept = std::make_unique<KeptRecord>(std::move(*record), kept_records).release();
  kept_records = kept;
  PyObject* function = PyCMethod_New(&kept->record.def, module, module_str, nullptr);
  if (!function) return failure(fetch_error());
  register_owned(function);
  return function;
}

Result<void> add_function(PyObject* module, PyObject* function) {
  Result<Owned> name_value = get_attr(function, new_ref(name_name.get()));
  if (!name_value) return failure(std::move(name_value.error()));
  PyObject* name_obj = name_value->release();
  register_owned(name_obj);
  Result<std::string_view> name = extract_text(name_obj);
  if (!name) return failure(std::move(name.error()));
  Result<PyObject*> all = module_all(module);
  if (!all) return failure(std::move(all.error()));
  if (Result<void> appended = list_append_text(*all, *name); !appended) {
    if (is_memory_error(appended.error())) return failure(std::move(appended.error()));
    TextBuffer message;
    message += "could not append __name__ to __all__: ";
    (void)debug_error(appended.error(), message);
    panic_owned(std::string(message.view()));
  }
  return set_attr_text(module, *name, new_ref(function));
}

Result<void> add_functions(PyObject* module, std::span<const MethodSpec* const> specs) {
  for (const MethodSpec* spec : specs) {
    Result<PyObject*> function = new_function(*spec, module);
    if (!function) return failure(std::move(function.error()));
    if (Result<void> added = add_function(module, *function); !added) return added;
  }
  return {};
}

Result<void> add_function_item(PyObject* module, const void* record) {
  Result<PyObject*> function = new_function(*static_cast<const MethodSpec*>(record), module);
  if (!function) return failure(std::move(function.error()));
  return add_function(module, *function);
}

Result<void> add_named(PyObject* module, std::string_view name, Owned value) {
  Result<PyObject*> all = module_all(module);
  if (!all) return failure(std::move(all.error()));
  if (Result<void> appended = list_append_text(*all, name); !appended) return appended;
  return set_attr_text(module, name, std::move(value));
}

Result<void> add_items(PyObject* module, std::span<const ModuleItem* const> items) {
  for (const ModuleItem* item : items)
    if (Result<void> added = item->add(module, item->record); !added) return added;
  return {};
}

Result<PyObject*> module_all(PyObject* module) {
  Owned all_str = new_ref(all_name.get());
  Result<Owned> found = get_attr(module, new_ref(all_str.get()));
  if (found) {
    PyObject* value = found->release();
    register_owned(value);
    if (PyList_Check(value)) return value;
    return failure(new_conversion_error(new_ref(reinterpret_cast<PyObject*>(Py_TYPE(value))),
                                        std::string_view("PyList")));
  }
  PyErr lookup_error = std::move(found.error());
  if (!PyExc_AttributeError) api_call_failed();
  if (!PyErr_GivenExceptionMatches(error_type(lookup_error), PyExc_AttributeError))
    return failure(std::move(lookup_error));
  drop_error(std::move(lookup_error));
  PyObject* list = PyList_New(0);
  if (!list) api_call_failed();
  register_owned(list);
  if (Result<void> set = set_attr(module, std::move(all_str), new_ref(list)); !set)
    return failure(std::move(set.error()));
  return list;
}

Result<Owned> get_attr(PyObject* object, Owned name) {
  PyObject* value = PyObject_GetAttr(object, name.get());
  name = Owned();
  if (!value) return failure(fetch_error());
  return Owned(value);
}

Result<void> set_attr(PyObject* object, Owned name, Owned value) {
  int status = PyObject_SetAttr(object, name.get(), value.get());
  value = Owned();
  name = Owned();
  if (status == -1) return failure(fetch_error());
  return {};
}

Result<void> set_attr_text(PyObject* object, std::string_view name, Owned value) {
  PyObject* name_str = new_str(name);
  Result<void> result = set_attr(object, new_ref(name_str), new_ref(value.get()));
  value = Owned();
  return result;
}

Result<void> list_append(PyObject* list, Owned item) {
  int status = PyList_Append(list, item.get());
  item = Owned();
  if (status == -1) return failure(fetch_error());
  return {};
}

Result<void> list_append_text(PyObject* list, std::string_view text) {
  return list_append(list, new_ref(new_str(text)));
}

}  // namespace krenn
