// Bound enums: the Python class made through the enum module, the table of
// its members that the converter reads, and the registry that shares tables
// among krenn modules. Linked only into modules that bind or take an enum.
#include "krenn/enum.hpp"

#include <cstring>
#include <memory>

#include "format.hpp"
#include "strings.hpp"

namespace krenn {

namespace {

// Tables live for the rest of the process, as their module does.
struct KeptEnum {
  EnumTable table;
  std::unique_ptr<PyObject*[]> members;
  std::unique_ptr<std::int64_t[]> values;
  KeptEnum* next;
};
constinit KeptEnum* kept_enums = nullptr;

Result<Owned> make_value(const EnumMember& m, bool is_unsigned) {
  PyObject* value = is_unsigned ? PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(m.value))
                                : PyLong_FromLongLong(m.value);
  if (!value) return failure(fetch_error());
  return Owned(value);
}

// Modules of one frame version, built by one C++ ABI, share enums, as they
// share classes: the mangled name of each bound enum to a capsule of its table.
#define KRENN_STRINGIFY2(x) #x
#define KRENN_STRINGIFY(x) KRENN_STRINGIFY2(x)
constexpr char registry_key[] = "krenn.enums.1.gxx" KRENN_STRINGIFY(__GXX_ABI_VERSION);

// The interpreter's registry, borrowed; null with the error set.
PyObject* registry() {
  PyObject* interpreter = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!interpreter) {
    PyErr_SetString(PyExc_SystemError, "no interpreter state dict");
    return nullptr;
  }
  PyObject* found = PyDict_GetItemString(interpreter, registry_key);
  if (found || PyErr_Occurred()) return found;
  PyObject* made = PyDict_New();
  if (!made) return nullptr;
  int status = PyDict_SetItemString(interpreter, registry_key, made);
  Py_DECREF(made);  // the interpreter's dict keeps it
  return status == -1 ? nullptr : made;
}

// The first module to bind an enum shares its table; the others keep their own.
Result<void> share(const std::type_info& type, const EnumTable* table) {
  PyObject* enums = registry();
  if (!enums) return failure(fetch_error());
  Owned capsule(PyCapsule_New(const_cast<EnumTable*>(table), nullptr, nullptr));
  if (!capsule) return failure(fetch_error());
  Owned key(PyUnicode_FromString(type.name()));
  if (!key || !PyDict_SetDefault(enums, key.get(), capsule.get())) return failure(fetch_error());
  return {};
}

std::string_view shown_name(PyTypeObject* type) {
  const char* name = type->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

}  // namespace

Result<void> add_enum_item(PyObject* module, const void* record) {
  const auto& spec = *static_cast<const EnumSpec*>(record);
  std::string_view name = spec.name.substr(0, spec.name.size() - 1);
  Result<std::string_view> module_name_ = module_name(module);
  if (!module_name_) return failure(std::move(module_name_.error()));

  Owned enum_module(PyImport_ImportModule("enum"));
  if (!enum_module) return failure(fetch_error());
  Owned base(PyObject_GetAttrString(enum_module.get(), spec.int_form ? "IntEnum" : "Enum"));
  if (!base) return failure(fetch_error());
  Owned pairs(PyList_New(static_cast<Py_ssize_t>(spec.members.size())));
  if (!pairs) return failure(fetch_error());
  for (std::size_t i = 0; i < spec.members.size(); ++i) {
    Result<Owned> value = make_value(spec.members[i], spec.is_unsigned);
    if (!value) return failure(std::move(value.error()));
    PyObject* pair = Py_BuildValue("(sO)", spec.members[i].name, value->get());
    if (!pair) return failure(fetch_error());
    PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
  }
  // Enum(name, [(member, value), ...], module=...): its own functional form.
  Owned args(
      Py_BuildValue("(s#O)", name.data(), static_cast<Py_ssize_t>(name.size()), pairs.get()));
  if (!args) return failure(fetch_error());
  Owned kwargs(Py_BuildValue("{s:s#}", "module", module_name_->data(),
                             static_cast<Py_ssize_t>(module_name_->size())));
  if (!kwargs) return failure(fetch_error());
  Owned type(PyObject_Call(base.get(), args.get(), kwargs.get()));
  if (!type) return failure(fetch_error());
  if (spec.doc.size() > 1) {
    Owned doc(PyUnicode_FromString(spec.doc.data()));
    if (!doc || PyObject_SetAttrString(type.get(), "__doc__", doc.get()) == -1)
      return failure(fetch_error());
  }

  auto kept = std::make_unique<KeptEnum>();
  std::size_t n = spec.members.size();
  kept->members = std::make_unique<PyObject*[]>(n);
  kept->values = std::make_unique<std::int64_t[]>(n);
  bool dense = true;
  for (std::size_t i = 0; i < n; ++i) {
    // Aliases (a value given twice) are the first member of that value.
    PyObject* member = PyObject_GetAttrString(type.get(), spec.members[i].name);
    if (!member) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(kept->members[j]);
      return failure(fetch_error());
    }
    kept->members[i] = member;
    kept->values[i] = spec.members[i].value;
    dense = dense && static_cast<std::uint64_t>(spec.members[i].value) ==
                         static_cast<std::uint64_t>(spec.members[0].value) + i;
  }
  kept->table = {reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get())), n, dense,
                 kept->members.get(), kept->values.get()};
  *spec.slot = &kept->table;
  kept->next = kept_enums;
  kept_enums = kept.release();
  if (Result<void> shared = share(*spec.type, *spec.slot); !shared) return shared;
  return add_named(module, name, std::move(type));
}

namespace detail {

const EnumTable* find_enum(const char* mangled, const EnumTable*& slot) {
  // A failed lookup reads as "bound nowhere": the conversion's own error.
  PyObject* enums = registry();
  PyObject* key = enums ? PyUnicode_FromString(mangled) : nullptr;
  PyObject* capsule = key ? PyDict_GetItemWithError(enums, key) : nullptr;
  Py_XDECREF(key);
  if (!capsule) {
    PyErr_Clear();
    return nullptr;
  }
  slot = static_cast<const EnumTable*>(PyCapsule_GetPointer(capsule, nullptr));
  return slot;
}

PyErr enum_argument_error(PyObject* obj, const EnumTable* table, std::string_view name,
                          std::string_view cpp_name) {
  return wrong_type(obj, name, table ? shown_name(table->type) : cpp_name);
}

std::unexpected<PyErr> enum_result_error(const EnumTable* table, std::int64_t value,
                                         bool is_unsigned, std::string_view cpp_name) {
  TextBuffer text;
  if (!table) {
    text += "cannot return a '";
    text += cpp_name;
    text += "' to Python: no krenn module bound its enum";
    return failure(type_error_from_text(text.view()));
  }
  // As the enum's own call says it: "5 is not a valid Color".
  if (!is_unsigned && value < 0) {
    text += '-';
    text.append_number(0 - static_cast<std::uint64_t>(value));
  } else {
    text.append_number(static_cast<std::uint64_t>(value));
  }
  text += " is not a valid ";
  text += shown_name(table->type);
  return failure(new_error_of(PyExc_ValueError, std::string(text.view())));
}

}  // namespace detail

}  // namespace krenn
