// The general ways through sequences, iterables and mappings, and the texts
// that name an element in a conversion error: off every successful call's
// way except the general one, and small.
#include "format.hpp"
#include "krenn/arguments.hpp"
#include "krenn/elements.hpp"
#include "krenn/maps.hpp"
#include "krenn/runtime.hpp"
#include "krenn/variant.hpp"
#include "once.hpp"
#include "text.hpp"

namespace krenn::detail {

namespace {

constinit InternedName items_name{"items"};

enum class Place : std::uint8_t { item, key, value };

// "argument 'xs': <place>: <the element's message without its own prefix>".
PyErr at_place(std::string_view name, PyErr err, Place place, Py_ssize_t index, PyObject* key) {
  if (!PyExc_TypeError) api_call_failed();
  if (error_type(err) != PyExc_TypeError) return err;
  TextBuffer key_text;
  // A key whose repr() fails is left out of the text: the error stays as it was.
  if (place != Place::item && !debug_object(key, key_text)) return err;
  TextBuffer message;
  if (Result<void> shown = display_object(error_value(err), message); !shown) [[unlikely]]
    return std::move(shown.error());
  TextBuffer text;
  text += "argument '";
  text += name;
  text += "': ";
  std::string_view rest = message.view();
  if (rest.starts_with(text.view())) rest.remove_prefix(text.view().size());
  switch (place) {
    case Place::item:
      text += "item ";
      text.append_number(static_cast<std::uint64_t>(index));
      break;
    case Place::key:
      text += "key ";
      text += key_text.view();
      break;
    case Place::value:
      text += "value for key ";
      text += key_text.view();
      break;
  }
  text += ": ";
  text += rest;
  return new_caused_type_error(text.view(), error_cause(err));
}

}  // namespace

PyErr at_item(std::string_view name, PyErr err, Py_ssize_t index) {
  return at_place(name, std::move(err), Place::item, index, nullptr);
}

PyErr at_key(std::string_view name, PyErr err, PyObject* key) {
  return at_place(name, std::move(err), Place::key, 0, key);
}

PyErr at_value(std::string_view name, PyErr err, PyObject* key) {
  return at_place(name, std::move(err), Place::value, 0, key);
}

PyErr wrong_length(std::string_view name, std::size_t expected, Py_ssize_t got) {
  TextBuffer text;
  text += "argument '";
  text += name;
  text += "': expected ";
  text.append_number(expected);
  text += expected == 1 ? " item, got " : " items, got ";
  text.append_number(static_cast<std::uint64_t>(got));
  return new_caused_type_error(text.view(), std::nullopt);
}

Result<Owned> sequence_items(PyObject* obj, std::string_view name) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) return new_ref(obj);
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
      !PySequence_Check(obj))
    return failure(wrong_type(obj, name, "Sequence"));
  // Iterated, as list() does: a __len__ that lies only sizes the first guess.
  PyObject* list = PySequence_List(obj);
  if (!list) return failure(wrap_argument_error(name, fetch_error()));
  return Owned::steal(list);
}

Result<Owned> iterate(PyObject* obj, std::string_view name) {
  PyObject* iterator = PyObject_GetIter(obj);
  if (!iterator) return failure(wrap_argument_error(name, fetch_error()));
  return Owned::steal(iterator);
}

Result<Owned> next_item(PyObject* iterator) {
  if (PyObject* item = PyIter_Next(iterator)) return Owned::steal(item);
  if (PyErr_Occurred()) return failure(fetch_error());
  return Owned();
}

bool is_refusal(PyErr& err) {
  PyObject* type = error_type(err);
  return PyErr_GivenExceptionMatches(type, PyExc_TypeError) ||
         PyErr_GivenExceptionMatches(type, PyExc_ValueError) ||
         PyErr_GivenExceptionMatches(type, PyExc_OverflowError);
}

PyErr dict_changed_size() {
  PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
  return fetch_error();
}

PyErr not_a_pair(PyObject* pair) {
  PyErr_Format(PyExc_TypeError, "items() gave %.200s, not a (key, value) tuple",
               Py_TYPE(pair)->tp_name);
  return fetch_error();
}

Result<MappingItems> MappingItems::of(PyObject* obj, std::string_view name) {
  if (PyDict_Check(obj)) {
    MappingItems items(new_ref(obj), true);
    items.size_ = PyDict_GET_SIZE(obj);
    return items;
  }
  PyObject* method = PyObject_GetAttr(obj, items_name.get());
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return failure(fetch_error());
    PyErr_Clear();
    return failure(wrong_type(obj, name, "Mapping"));
  }
  Owned held = Owned::steal(method);
  Owned pairs = Owned::steal(PyObject_CallNoArgs(method));
  if (!pairs) return failure(wrap_argument_error(name, fetch_error()));
  Owned list = Owned::steal(PySequence_List(pairs.get()));
  if (!list) return failure(wrap_argument_error(name, fetch_error()));
  return MappingItems(std::move(list), false);
}

Result<bool> MappingItems::next(Owned& key, Owned& value) {
  PyObject* source = source_.get();
  if (is_dict_) {
    if (PyDict_GET_SIZE(source) != size_) [[unlikely]]
      return failure(dict_changed_size());
    PyObject* k;
    PyObject* v;
    if (!PyDict_Next(source, &at_, &k, &v)) return false;
    key = Owned::borrow(k);
    value = Owned::borrow(v);
    return true;
  }
  if (at_ >= PyList_GET_SIZE(source)) return false;
  PyObject* pair = PyList_GET_ITEM(source, at_++);
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) [[unlikely]]
    return failure(not_a_pair(pair));
  key = Owned::borrow(PyTuple_GET_ITEM(pair, 0));
  value = Owned::borrow(PyTuple_GET_ITEM(pair, 1));
  return true;
}

}  // namespace krenn::detail
