// Taking buffers for span and Bytes parameters, and explaining the refusals.
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

[[gnu::cold]] PyErr refusal(const Py_buffer& view, std::string_view name,
                            const ItemFormat& format) {
  std::string_view code = view.format ? view.format : "B";
  if (code.starts_with('@')) code.remove_prefix(1);
  if (code.size() != 1 || format.codes.find(code[0]) == std::string_view::npos ||
      static_cast<std::size_t>(view.itemsize) != format.size) {
    TextBuffer size;
    size.append_number(static_cast<std::uint64_t>(view.itemsize));
    return buffer_error(
        PyExc_TypeError, name,
        {"a buffer of ", format.cpp_name, " is required, not of format '",
         view.format ? std::string_view(view.format) : "B", "' (item size ", size.view(), ")"});
  }
  if (view.ndim != 1) {
    TextBuffer dims;
    dims.append_number(static_cast<std::uint64_t>(view.ndim));
    return buffer_error(PyExc_ValueError, name,
                        {"the buffer has ", dims.view(), " dimensions, not 1"});
  }
  return buffer_error(PyExc_ValueError, name, {"the buffer is not C-contiguous"});
}

}  // namespace

Result<void> take_buffer(PyObject* obj, std::string_view name, const ItemFormat* format,
                         HeldBuffer& held) {
  if (!PyObject_CheckBuffer(obj)) [[unlikely]]
    return failure(
        buffer_error(PyExc_TypeError, name,
                     {"a bytes-like object is required, not '", Py_TYPE(obj)->tp_name, "'"}));
  // Strides asked for, so that a strided buffer is explained here rather than
  // refused by its exporter.
  if (!held.take(obj, PyBUF_RECORDS_RO)) [[unlikely]]
    return failure(fetch_error());
  bool fits =
      format ? buffer_fits(held.buffer(), *format) : PyBuffer_IsContiguous(&held.buffer(), 'C');
  if (!fits) [[unlikely]] {
    PyErr err = format ? refusal(held.buffer(), name, *format)
                       : buffer_error(PyExc_ValueError, name, {"the buffer is not C-contiguous"});
    held.release();
    return failure(std::move(err));
  }
  held.lend_held();
  return {};
}

}  // namespace krenn::detail
