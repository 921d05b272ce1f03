// Bound classes: their types, the registry that krenn modules share, and the
// out-of-line steps of instances and slots. Linked only into modules that bind
// or take a class.
#include <Python.h>
#include <structmember.h>

#include <cstring>
#include <memory>
#include <string>

#include "format.hpp"
#include "krenn/class.hpp"
#include "module_names.hpp"
#include "strings.hpp"

namespace krenn {

namespace {

// Modules of one frame version, built by one C++ ABI, share classes; any other
// keeps a registry of its own and sees none of these.
#define KRENN_STRINGIFY2(x) #x
#define KRENN_STRINGIFY(x) KRENN_STRINGIFY2(x)
constexpr char registry_key[] = "krenn.classes.1.gxx" KRENN_STRINGIFY(__GXX_ABI_VERSION);

// The interpreter's registry: the mangled name of each bound C++ type, and each
// bound type object, to a capsule of its ClassSpec. Borrowed.
Result<PyObject*> registry() {
  PyObject* interpreter = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!interpreter) return failure(new_system_error("no interpreter state dict"));
  PyObject* found = PyDict_GetItemString(interpreter, registry_key);
  if (found) return found;
  if (PyErr_Occurred()) return failure(fetch_error());
  PyObject* made = PyDict_New();
  if (!made) return failure(fetch_error());
  int status = PyDict_SetItemString(interpreter, registry_key, made);
  Py_DECREF(made);  // the interpreter's dict keeps it
  if (status == -1) return failure(fetch_error());
  return made;
}

const ClassSpec* spec_in(PyObject* registry, PyObject* key) {
  PyObject* capsule = PyDict_GetItemWithError(registry, key);
  if (!capsule) return nullptr;
  return static_cast<const ClassSpec*>(PyCapsule_GetPointer(capsule, nullptr));
}

const ClassSpec* spec_by_name(PyObject* registry, const char* cpp_name) {
  PyObject* key = PyUnicode_FromString(cpp_name);
  if (!key) return nullptr;
  const ClassSpec* spec = spec_in(registry, key);
  Py_DECREF(key);
  return spec;
}

// The bound class nearest to type on its MRO: a Python subclass's base.
const ClassSpec* bound_spec_of(PyObject* registry, PyTypeObject* type) {
  PyObject* mro = type->tp_mro;
  if (!mro) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i)
    if (const ClassSpec* spec = spec_in(registry, PyTuple_GET_ITEM(mro, i))) return spec;
  return nullptr;
}

bool same_type(const char* a, const char* b) { return a == b || std::strcmp(a, b) == 0; }

// value, an object of spec's class, as the class named target.
void* cast_to(PyObject* registry, const ClassSpec* spec, void* value, const char* target,
              int depth = 0) {
  if (same_type(spec->type->name(), target)) return value;
  if (depth > 64) return nullptr;
  for (const detail::BaseCast& base : spec->bases) {
    const ClassSpec* base_spec = spec_by_name(registry, base.type->name());
    void* up = base.upcast(value);
    if (!base_spec) {
      if (same_type(base.type->name(), target)) return up;
      continue;
    }
    if (void* found = cast_to(registry, base_spec, up, target, depth + 1)) return found;
  }
  return nullptr;
}

// The name a Python class of this type shows in messages.
std::string_view shown_name(PyTypeObject* type) {
  const char* name = type->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

Result<PyTypeObject*> find_type(const char* cpp_name, PyTypeObject*& slot) {
  if (slot) return slot;
  Result<PyObject*> found = registry();
  if (!found) return failure(std::move(found.error()));
  const ClassSpec* spec = spec_by_name(*found, cpp_name);
  if (!spec && PyErr_Occurred()) return failure(fetch_error());
  if (spec) slot = *spec->slot;
  return slot;
}

[[gnu::cold]] PyErr already_bound(PyObject* capsule, const ClassSpec& spec) {
  auto* other = static_cast<const ClassSpec*>(PyCapsule_GetPointer(capsule, nullptr));
  TextBuffer text;
  text += "cannot bind the C++ type of '";
  text += spec.name.substr(0, spec.name.size() - 1);
  text += "' again: it is already bound as '";
  if (other && *other->slot) {
    PyTypeObject* type = *other->slot;
    PyObject* module = PyDict_GetItemString(type->tp_dict, "__module__");
    if (module && PyUnicode_Check(module)) {
      if (const char* name = PyUnicode_AsUTF8(module)) {
        text += name;
        text += '.';
      }
    }
    text += type->tp_name;
  }
  text += "'";
  PyErr_Clear();
  return new_error_of(PyExc_ImportError, std::string(text.view()));
}

// The class's type, kept for the rest of the process as the module is.
struct KeptClass {
  std::unique_ptr<char[]> qualified_name;
  std::unique_ptr<PyMethodDef[]> methods;
  KeptClass* next;
};
constinit KeptClass* kept_classes = nullptr;

}  // namespace

Result<void> add_class_item(PyObject* module, const void* record) {
  const auto& spec = *static_cast<const ClassSpec*>(record);
  Result<PyObject*> found = registry();
  if (!found) return failure(std::move(found.error()));
  PyObject* classes = *found;
  PyObject* key = PyUnicode_FromString(spec.type->name());
  if (!key) return failure(fetch_error());
  register_owned(key);
  if (PyObject* capsule = PyDict_GetItemWithError(classes, key))
    return failure(already_bound(capsule, spec));
  if (PyErr_Occurred()) return failure(fetch_error());

  Result<std::string_view> module_name_ = module_name(module);
  if (!module_name_) return failure(std::move(module_name_.error()));
  std::string_view name = spec.name.substr(0, spec.name.size() - 1);
  auto kept = std::make_unique<KeptClass>();
  kept->qualified_name = std::make_unique<char[]>(module_name_->size() + name.size() + 2);
  char* qualified = kept->qualified_name.get();
  std::memcpy(qualified, module_name_->data(), module_name_->size());
  qualified[module_name_->size()] = '.';
  std::memcpy(qualified + module_name_->size() + 1, name.data(), name.size());
  kept->methods = std::make_unique<PyMethodDef[]>(spec.methods.size() + 1);
  for (std::size_t i = 0; i < spec.methods.size(); ++i) {
    const MethodSpec& m = spec.methods[i];
    kept->methods[i] = {m.name.data(),
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.entry)),
                        m.flags, m.doc.data()};
  }

  // Bases: bound before, here or in another module.
  PyObject* bases = nullptr;
  if (!spec.bases.empty()) {
    bases = PyTuple_New(static_cast<Py_ssize_t>(spec.bases.size()));
    if (!bases) return failure(fetch_error());
    register_owned(bases);
    for (std::size_t i = 0; i < spec.bases.size(); ++i) {
      const ClassSpec* base = spec_by_name(classes, spec.bases[i].type->name());
      if (!base) {
        if (PyErr_Occurred()) return failure(fetch_error());
        TextBuffer text;
        text += "the base class of '";
        text += name;
        text += "' is not bound: bind it first";
        return failure(new_error_of(PyExc_ImportError, std::string(text.view())));
      }
      PyTuple_SET_ITEM(bases, static_cast<Py_ssize_t>(i), Py_NewRef(*base->slot));
    }
  }

  static PyMemberDef members[] = {
      {"__weaklistoffset__", T_PYSSIZET, offsetof(InstanceHead, weaklist), READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr}};
  const ClassSlots& s = spec.slots;
  PyType_Slot slots[32];
  int n = 0;
  auto put = [&](int slot, auto fn) {
    if (fn) slots[n++] = {slot, reinterpret_cast<void*>(fn)};
  };
  if (spec.doc.size() > 1) slots[n++] = {Py_tp_doc, const_cast<char*>(spec.doc.data())};
  put(Py_tp_dealloc, s.dealloc);
  put(Py_tp_repr, s.repr);
  put(Py_tp_str, s.str);
  put(Py_tp_richcompare, s.richcompare);
  if (spec.hash_none)
    put(Py_tp_hash, &PyObject_HashNotImplemented);
  else
    put(Py_tp_hash, s.hash);
  put(Py_mp_length, s.len);
  put(Py_sq_length, s.len);
  put(Py_mp_subscript, s.getitem);
  put(Py_mp_ass_subscript, s.setitem);
  put(Py_sq_contains, s.contains);
  put(Py_tp_iter, s.iter);
  put(Py_tp_iternext, s.next);
  put(Py_nb_bool, s.to_bool);
  put(Py_nb_add, s.add);
  put(Py_nb_subtract, s.subtract);
  put(Py_nb_multiply, s.multiply);
  put(Py_nb_true_divide, s.true_divide);
  put(Py_nb_inplace_add, s.inplace_add);
  put(Py_nb_negative, s.negative);
  put(Py_tp_call, s.call);
  put(Py_tp_init, s.init);
  if (s.init) put(Py_tp_new, &PyType_GenericNew);
  put(Py_tp_methods, spec.methods.empty() ? nullptr : kept->methods.get());
  if (spec.getsets.size() > 1)
    slots[n++] = {Py_tp_getset, const_cast<PyGetSetDef*>(spec.getsets.data())};
  put(Py_tp_members, members);
  slots[n] = {0, nullptr};

  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
  if (!s.init) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{qualified, static_cast<int>(spec.basicsize), 0, flags, slots};
  PyObject* type = PyType_FromModuleAndSpec(module, &type_spec, bases);
  if (!type) return failure(fetch_error());
  register_owned(type);
  // Named in messages as a Python class is ('Vec2', not 'module.Vec2'); the
  // module stays in __module__.
  auto* type_object = reinterpret_cast<PyTypeObject*>(type);
  type_object->tp_name = std::strrchr(type_object->tp_name, '.') + 1;
  if (s.construct) reinterpret_cast<PyTypeObject*>(type)->tp_vectorcall = s.construct;

  PyObject* capsule = PyCapsule_New(const_cast<ClassSpec*>(&spec), nullptr, nullptr);
  if (!capsule) return failure(fetch_error());
  register_owned(capsule);
  if (PyDict_SetItem(classes, key, capsule) == -1 || PyDict_SetItem(classes, type, capsule) == -1)
    return failure(fetch_error());
  *spec.slot = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));  // kept for the process
  kept->next = kept_classes;
  kept_classes = kept.release();

  Result<PyObject*> all = module_all(module);
  if (!all) return failure(std::move(all.error()));
  if (Result<void> appended = list_append_text(*all, name); !appended) return appended;
  return set_attr_text(module, name, new_ref(type));
}

namespace detail {

Result<void*> instance_value(PyObject* obj, const char* cpp_name, PyTypeObject*& slot,
                             std::string_view name, std::string_view cpp_shown) {
  Result<PyTypeObject*> type = find_type(cpp_name, slot);
  if (!type) return failure(std::move(type.error()));
  if (!*type) return failure(wrong_type(obj, name, cpp_shown));
  PyTypeObject* own = Py_TYPE(obj);
  if (own != *type && !PyType_IsSubtype(own, *type))
    return failure(wrong_type(obj, name, shown_name(*type)));
  void* value = reinterpret_cast<InstanceHead*>(obj)->value;
  if (!value) return failure(not_constructed(obj));
  if (own == *type) return value;
  // A bound subclass's object, seen as this class.
  Result<PyObject*> classes = registry();
  if (!classes) return failure(std::move(classes.error()));
  const ClassSpec* spec = bound_spec_of(*classes, own);
  if (!spec) return value;
  if (void* cast = cast_to(*classes, spec, value, cpp_name)) return cast;
  return failure(wrong_type(obj, name, shown_name(*type)));
}

Result<PyTypeObject*> result_type(const char* cpp_name, PyTypeObject*& slot,
                                  std::string_view cpp_shown) {
  Result<PyTypeObject*> type = find_type(cpp_name, slot);
  if (!type) return type;
  if (*type) return type;
  TextBuffer text;
  text += "cannot return a '";
  text += cpp_shown;
  text += "' to Python: no krenn module bound its class";
  return failure(type_error_from_text(text.view()));
}

void destroy_reporting(void (*destroy)(void*), void* value, PyObject* self) noexcept {
  PyObject *type, *error, *traceback;
  PyErr_Fetch(&type, &error, &traceback);
  PyObject* done = call_trampoline([&]() -> Result<PyObject*> {
    destroy(value);
    return Py_None;
  });
  if (!done) PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  PyErr_Restore(type, error, traceback);
}

PyErr not_constructed(PyObject* obj) {
  TextBuffer text;
  text += "'";
  text += shown_name(Py_TYPE(obj));
  text += "' object is not initialized: its class's __init__ was not called";
  return type_error_from_text(text.view());
}

Result<PyObject*> not_implemented_unless(PyErr err) {
  if (!PyErr_GivenExceptionMatches(error_type(err), PyExc_TypeError))
    return failure(std::move(err));
  return Py_NewRef(Py_NotImplemented);
}

PyObject* call_with_tuple(FastcallEntry entry, PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nkw == 0) return entry(self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
  std::unique_ptr<PyObject*[]> stack;
  try {
    stack = std::make_unique_for_overwrite<PyObject*[]>(static_cast<std::size_t>(nargs + nkw));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
  PyObject* names = PyTuple_New(nkw);
  if (!names) return nullptr;
  Py_ssize_t at = 0, i = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &at, &key, &value)) {
    PyTuple_SET_ITEM(names, i, Py_NewRef(key));
    stack[nargs + i++] = value;
  }
  PyObject* result = entry(self, stack.get(), nargs, names);
  Py_DECREF(names);
  return result;
}

int init_with_tuple(FastcallEntry entry, PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* result = call_with_tuple(entry, self, args, kwargs);
  if (!result) return -1;
  Py_DECREF(result);
  return 0;
}

Py_ssize_t length_of(PyObject* result) {
  Py_ssize_t n = PyNumber_AsSsize_t(result, PyExc_OverflowError);
  Py_DECREF(result);
  if (n == -1 && PyErr_Occurred()) return -1;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
    return -1;
  }
  return n;
}

Py_hash_t hash_of(PyObject* result) {
  if (!PyLong_Check(result)) {
    Py_DECREF(result);
    PyErr_SetString(PyExc_TypeError, "__hash__ method should return an integer");
    return -1;
  }
  Py_hash_t h = PyLong_AsSsize_t(result);
  if (h == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    h = PyLong_Type.tp_hash(result);
  } else if (h == -1) {
    h = -2;
  }
  Py_DECREF(result);
  return h;
}

int truth_of(PyObject* result, bool bool_only) {
  if (bool_only && !PyBool_Check(result)) {
    PyErr_Format(PyExc_TypeError, "__bool__ should return bool, returned %.200s",
                 Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return -1;
  }
  int truth = PyObject_IsTrue(result);
  Py_DECREF(result);
  return truth;
}

PyObject* compare_inverted(PyObject* result) {
  if (result == Py_NotImplemented) return result;
  int truth = PyObject_IsTrue(result);
  Py_DECREF(result);
  if (truth < 0) return nullptr;
  return Py_NewRef(truth ? Py_False : Py_True);
}

PyObject* next_of(PyObject* result) { return result; }

PyObject* no_constructor_matches(const char* text) {
  PyErr_SetString(PyExc_TypeError, text);
  return nullptr;
}

PyErr no_item_deletion(PyObject* self) {
  TextBuffer text;
  text += "'";
  text += shown_name(Py_TYPE(self));
  text += "' object doesn't support item deletion";
  return type_error_from_text(text.view());
}

bool is_instance_of(PyObject* obj, PyTypeObject* type) {
  return type && (Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type));
}

PyErr cannot_delete(std::string_view name) {
  TextBuffer text;
  text += "cannot delete attribute '";
  text += name;
  text += "'";
  return new_error_of(PyExc_AttributeError, std::string(text.view()));
}

PyErr read_only(std::string_view name) {
  TextBuffer text;
  text += "attribute '";
  text += name;
  text += "' is read-only";
  return new_error_of(PyExc_AttributeError, std::string(text.view()));
}

}  // namespace detail

}  // namespace krenn
