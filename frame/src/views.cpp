// The views' errors and their general ways into a mapping: off every
// successful call's way, and small.
#include "krenn/views.hpp"

#include "text.hpp"

namespace krenn::detail {

// Thrown here, not through throw_error: each frame the throw walks costs
// thousands of instructions.
void throw_at_key(std::string_view name, PyErr err, PyObject* key) {
  throw python_error(at_key(name, std::move(err), key));
}

void throw_at_value(std::string_view name, PyErr err, PyObject* key) {
  throw python_error(at_value(name, std::move(err), key));
}

void throw_index_error(std::string_view name, std::size_t index) {
  TextBuffer text;
  text += "argument '";
  text += name;
  text += "': index ";
  text.append_number(index);
  text += " out of range";
  throw_error(new_error_of(PyExc_IndexError, std::string(text.view())));
}

void throw_dict_changed_size() { throw_error(dict_changed_size()); }

PyObject* pair_at(PyObject* list, Py_ssize_t at) {
  PyObject* pair = PyList_GET_ITEM(list, at);
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) [[unlikely]]
    throw_error(not_a_pair(pair));
  return pair;
}

Result<Owned> mapping_source(PyObject* obj, std::string_view name) {
  Result<MappingItems> items = MappingItems::of(obj, name);
  if (!items) [[unlikely]]
    return failure(std::move(items.error()));
  return std::move(*items).into_source();
}

}  // namespace krenn::detail
