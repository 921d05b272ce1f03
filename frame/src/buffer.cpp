// Taking and checking buffers for span and Bytes parameters.
#include "krenn/buffer.hpp"

#include <string>

#include "text.hpp"

namespace krenn::detail {

namespace {

[[gnu::cold]] PyErr buffer_error(PyObject* type, std::string_view name,
                                 std::initializer_list<std::string_view> pieces) {
  TextBuffer text;
  text += "argument '";
  text += name;
  text += "': ";
  for (std::string_view piece : pieces) text += piece;
  if (type == PyExc_TypeError) return type_error_from_text(text.view());
  // The builder keeps its text, which outlives this buffer.
  return PyErr::lazy(ErrBuilder(ErrBuilder::Kind::fixed_type, std::string(text.view()), nullptr,
                                &PyExc_ValueError));
}

// The code of a native format ("d", "@d"), or nothing for any other.
std::string_view native_code(const char* format) {
  std::string_view code = format ? format : "B";
  if (code.starts_with('@')) code.remove_prefix(1);
  return code;
}

}  // namespace

Result<void> check_buffer(const Py_buffer& view, std::string_view name, const ItemFormat& format) {
  std::string_view code = native_code(view.format);
  if (code.size() != 1 || format.codes.find(code[0]) == std::string_view::npos ||
      static_cast<std::size_t>(view.itemsize) != format.size) [[unlikely]] {
    TextBuffer size;
    size.append_number(static_cast<std::uint64_t>(view.itemsize));
    return failure(buffer_error(
        PyExc_TypeError, name,
        {"a buffer of ", format.cpp_name, " is required, not of format '",
         view.format ? std::string_view(view.format) : "B", "' (item size ", size.view(), ")"}));
  }
  if (view.ndim != 1) [[unlikely]] {
    TextBuffer dims;
    dims.append_number(static_cast<std::uint64_t>(view.ndim));
    return failure(buffer_error(PyExc_ValueError, name,
                                {"the buffer has ", dims.view(), " dimensions, not 1"}));
  }
  if (view.strides && view.strides[0] != view.itemsize && view.len > view.itemsize) [[unlikely]]
    return failure(buffer_error(PyExc_ValueError, name, {"the buffer is not C-contiguous"}));
  return {};
}

Result<const Py_buffer*> pooled_buffer(PyObject* obj, std::string_view name,
                                       const ItemFormat* format) {
  if (!PyObject_CheckBuffer(obj)) [[unlikely]]
    return failure(
        buffer_error(PyExc_TypeError, name,
                     {"a bytes-like object is required, not '", Py_TYPE(obj)->tp_name, "'"}));
  PyObject* view = PyMemoryView_FromObject(obj);
  if (!view) [[unlikely]]
    return failure(fetch_error());
  register_owned(view);  // the buffer goes when the call's pool closes
  const Py_buffer* buffer = PyMemoryView_GET_BUFFER(view);
  if (format) {
    if (Result<void> checked = check_buffer(*buffer, name, *format); !checked) [[unlikely]]
      return failure(std::move(checked.error()));
  } else if (!PyBuffer_IsContiguous(buffer, 'C')) [[unlikely]] {
    return failure(buffer_error(PyExc_ValueError, name, {"the buffer is not C-contiguous"}));
  }
  return buffer;
}

}  // namespace krenn::detail
