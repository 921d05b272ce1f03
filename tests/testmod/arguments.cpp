// Parameter descriptions beyond sum_as_string's, exposed as callables that
// return their bound slots (None for an empty slot).
#include <array>

#include "arguments_text.hpp"
#include "krenn/arguments.hpp"
#include "testmod.hpp"

namespace krenn::testing {

namespace {

constexpr std::array<std::string_view, 3> xyz{"x", "y", "z"};
constexpr std::array<std::string_view, 4> wxyz{"w", "x", "y", "z"};
constexpr std::array<std::string_view, 1> just_a{"a"};
constexpr std::array<std::string_view, 3> pqr{"p", "q", "r"};
constexpr std::array<KeywordParam, 2> k_and_j{{{"k", true}, {"j", false}}};

constexpr ParamSpec range_spec{"f", xyz, {}, std::nullopt, 0, 1};
constexpr ParamSpec empty_spec{"f", {}, {}, std::nullopt, 0, 0};
constexpr ParamSpec class_spec{"f", just_a, {}, "K", 0, 1};
constexpr ParamSpec three_spec{"f", xyz, {}, std::nullopt, 0, 3};
constexpr ParamSpec four_spec{"f", wxyz, {}, std::nullopt, 0, 4};
constexpr ParamSpec posonly_spec{"f", pqr, {}, std::nullopt, 2, 3};
constexpr ParamSpec kwonly_spec{"f", just_a, k_and_j, std::nullopt, 0, 0};
// Breaks its invariant: more required than named, so binding must stop.
constexpr ParamSpec broken_spec{"f", just_a, {}, std::nullopt, 0, 1};

template <const ParamSpec& spec, std::size_t slot_count>
Result<PyObject*> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, slot_count> slots{};
  if (Result<void> bound = bind_fastcall_arguments(spec, args, nargs, kwnames, slots); !bound)
    return failure(std::move(bound.error()));
  PyObject* out = PyTuple_New(slot_count);
  if (!out) return fetched();
  for (std::size_t i = 0; i < slot_count; ++i) {
    PyObject* item = slots[i] ? slots[i] : Py_None;
    Py_INCREF(item);
    PyTuple_SET_ITEM(out, i, item);
  }
  return out;
}

template <const ParamSpec& spec, std::size_t slot_count>
PyObject* bind_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_trampoline([&]() { return bind<spec, slot_count>(args, nargs, kwnames); });
}

template <const ParamSpec& spec, std::size_t slot_count>
PyMethodDef bind_def(const char* name) {
  return {name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_entry<spec, slot_count>)),
          METH_FASTCALL | METH_KEYWORDS, nullptr};
}

// vectorcall(func, positional, kwnames, kwvalues): a call as native code can
// make it, with any kwnames tuple at all.
PyObject* vectorcall(PyObject*, PyObject* args) {
  PyObject *func, *positional, *kwnames, *kwvalues;
  if (!PyArg_ParseTuple(args, "OO!OO!", &func, &PyTuple_Type, &positional, &kwnames, &PyTuple_Type,
                        &kwvalues))
    return nullptr;
  Py_ssize_t nargs = PyTuple_GET_SIZE(positional);
  Py_ssize_t nkw = PyTuple_GET_SIZE(kwvalues);
  // A fixed array: operator new may be made to fail in this module.
  PyObject* array[16];
  if (nargs + nkw > 16) {
    PyErr_SetString(PyExc_ValueError, "too many arguments");
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) array[i] = PyTuple_GET_ITEM(positional, i);
  for (Py_ssize_t i = 0; i < nkw; ++i) array[nargs + i] = PyTuple_GET_ITEM(kwvalues, i);
  return PyObject_Vectorcall(func, array, static_cast<std::size_t>(nargs),
                             kwnames == Py_None ? nullptr : kwnames);
}

Result<PyObject*> index_u64(PyObject* args) {
  PyObject* obj;
  if (!PyArg_ParseTuple(args, "O", &obj)) return fetched();
  Result<std::uint64_t> value = index_to_u64(obj);
  if (!value) return failure(std::move(value.error()));
  return PyLong_FromUnsignedLongLong(*value);
}

// wrap_argument_error over an exception instance, as a conversion would give it.
Result<PyObject*> wrap_error(PyObject* args) {
  const char* name;
  PyObject* exc;
  if (!PyArg_ParseTuple(args, "sO", &name, &exc)) return fetched();
  return failure(wrap_argument_error(name, error_from_value(exc)));
}

Result<PyObject*> name_list(PyObject* args) {
  PyObject* seq;
  if (!PyArg_ParseTuple(args, "O!", &PyTuple_Type, &seq)) return fetched();
  std::vector<std::string_view> names;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(seq, i), &size);
    if (!data) return fetched();
    names.emplace_back(data, static_cast<std::size_t>(size));
  }
  TextBuffer text;
  append_name_list(text, names);
  return PyUnicode_FromStringAndSize(text.view().data(),
                                     static_cast<Py_ssize_t>(text.view().size()));
}

}  // namespace

void add_argument_methods(Methods& out) {
  out.insert(out.end(), {
                            bind_def<range_spec, 3>("f_range"),
                            bind_def<empty_spec, 0>("f_empty"),
                            bind_def<class_spec, 1>("k_f"),
                            bind_def<three_spec, 3>("f_xyz"),
                            bind_def<four_spec, 4>("f_wxyz"),
                            bind_def<posonly_spec, 3>("f_posonly"),
                            bind_def<kwonly_spec, 3>("f_kwonly"),
                            bind_def<broken_spec, 0>("f_short_slots"),
                            {"vectorcall", vectorcall, METH_VARARGS, nullptr},
                            def<index_u64>("index_to_u64"),
                            def<wrap_error>("wrap_argument_error"),
                            def<name_list>("append_name_list"),
                        });
}

}  // namespace krenn::testing
