// Converting an argument to a C++ value, and naming the argument in a
// conversion error. On the error paths that ordinary calls
// take, so built for speed.
#include <cstring>
#include <string>

#include "format.hpp"
#include "krenn/arguments.hpp"
#include "krenn/buffer.hpp"
#include "krenn/bytes.hpp"
#include "krenn/floats.hpp"
#include "krenn/integers.hpp"
#include "krenn/str.hpp"
#include "text.hpp"

namespace krenn {

// Pieces of texts as views of known length: no strlen where code is built for size.
using namespace std::literals;

namespace detail {

Result<std::uint64_t> index_to_u64_protocol(PyObject* obj) {
  // Without __index__ the interpreter's error is known: made when raised.
  if (!PyLong_Check(obj) && !PyIndex_Check(obj)) [[unlikely]]
    return failure(new_not_an_integer_error(reinterpret_cast<PyObject*>(Py_TYPE(obj))));
  PyObject* index = PyNumber_Index(obj);
  if (!index) return failure(fetch_error());
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  if (value == static_cast<unsigned long long>(-1)) [[unlikely]] {
    std::optional<PyErr> err = try_fetch_error();
    Py_DECREF(index);
    if (err) return failure(std::move(*err));
    return static_cast<std::uint64_t>(value);
  }
  Py_DECREF(index);
  return static_cast<std::uint64_t>(value);
}

}  // namespace detail

namespace {

// "argument '<name>': '<type name>' object cannot be interpreted as an
// integer", composed directly: the same text as wrapping the interpreter's.
// Nothing for names that the interpreter's own formatting must decide.
[[nodiscard]] std::optional<PyErr> not_an_integer_argument(std::string_view name, PyObject* type) {
  const char* tp_name = reinterpret_cast<PyTypeObject*>(type)->tp_name;
  std::size_t size = 0;
  while (size <= 200 && tp_name[size] && static_cast<unsigned char>(tp_name[size]) < 0x80) ++size;
  if (size > 200 || tp_name[size]) return std::nullopt;  // long or not ASCII
  for (char c : name)
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  return new_uncaused_type_error({"argument '"sv, name, "': '"sv, std::string_view(tp_name, size),
                                  "' object cannot be interpreted as an integer"sv});
}

// Out of line, so that argument_to_u64 keeps a small frame while __index__
// runs: the next call of the function may be made from inside it.
[[gnu::noinline]] PyErr not_an_integer_failure(std::string_view name, PyObject* obj) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (std::optional<PyErr> direct = not_an_integer_argument(name, type)) return std::move(*direct);
  return wrap_argument_error(name, new_not_an_integer_error(type));
}

[[gnu::noinline]] PyErr conversion_failure(std::string_view name) {
  return wrap_argument_error(name, fetch_error());
}

[[gnu::noinline]] std::optional<PyErr> overflow_failure(std::string_view name) {
  std::optional<PyErr> err = try_fetch_error();
  if (!err) return std::nullopt;
  return wrap_argument_error(name, std::move(*err));
}

}  // namespace

Result<std::uint64_t> argument_to_u64(PyObject* obj, std::string_view name) {
  if (std::uint64_t value; exact_u64(obj, value)) return value;
  if (!PyLong_Check(obj) && !PyIndex_Check(obj)) [[unlikely]]
    return failure(not_an_integer_failure(name, obj));
  PyObject* index = PyNumber_Index(obj);
  if (!index) [[unlikely]]
    return failure(conversion_failure(name));
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  if (value == static_cast<unsigned long long>(-1)) [[unlikely]] {
    std::optional<PyErr> err = overflow_failure(name);
    Py_DECREF(index);
    if (err) return failure(std::move(*err));
    return static_cast<std::uint64_t>(value);
  }
  Py_DECREF(index);
  return static_cast<std::uint64_t>(value);
}

PyErr wrap_argument_error(std::string_view name, PyErr err) {
  if (PyObject* type = not_an_integer_type(err)) {
    if (std::optional<PyErr> direct = not_an_integer_argument(name, type))
      return std::move(*direct);
  }
  PyObject* type = error_type(err);
  if (!PyExc_TypeError) api_call_failed();
  if (type != PyExc_TypeError) return err;
  TextBuffer text;
  text += "argument '";
  text += name;
  text += "': ";
  if (Result<void> shown = display_object(error_value(err), text); !shown) [[unlikely]]
    return std::move(shown.error());
  return new_caused_type_error(text.view(), error_cause(err));
}

namespace {

[[gnu::cold]] PyErr out_of_range(std::string_view text) {
  return PyErr::lazy(ErrBuilder(ErrBuilder::Kind::fixed_type, text, nullptr, &PyExc_OverflowError));
}

}  // namespace

namespace detail {

Result<std::int64_t> argument_to_i64(PyObject* obj, std::string_view name, const IntRange& range) {
  std::int64_t value;
  if (!exact_i64(obj, value)) {
    if (!PyLong_Check(obj) && !PyIndex_Check(obj)) [[unlikely]]
      return failure(not_an_integer_failure(name, obj));
    PyObject* index = PyNumber_Index(obj);
    if (!index) [[unlikely]]
      return failure(conversion_failure(name));
    value = range.api == IntApi::as_long_long ? PyLong_AsLongLong(index) : PyLong_AsLong(index);
    if (value == -1) {
      std::optional<PyErr> err = overflow_failure(name);
      Py_DECREF(index);
      if (err) return failure(std::move(*err));
    } else {
      Py_DECREF(index);
    }
  }
  if (value < range.min) return failure(out_of_range(range.below));
  if (value > range.max) return failure(out_of_range(range.above));
  return value;
}

Result<std::uint64_t> argument_to_u64_at_most(PyObject* obj, std::string_view name,
                                              std::uint64_t max, std::string_view above) {
  Result<std::uint64_t> value = argument_to_u64(obj, name);
  if (value && *value > max) return failure(out_of_range(above));
  return value;
}

namespace {

// The name of a type the interpreter defines in C, up to its last dot (its
// __qualname__), when it is ASCII and at most max bytes long; nothing else
// can be composed without the interpreter.
[[nodiscard]] std::optional<std::string_view> static_type_name(PyObject* obj, std::size_t max) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) return std::nullopt;
  std::string_view name(type->tp_name);
  if (std::size_t dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
  if (name.size() > max) return std::nullopt;
  for (char c : name)
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  return name;
}

[[nodiscard]] bool is_ascii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

Result<double> argument_to_double(PyObject* obj, std::string_view name) {
  // Neither a number nor convertible: PyFloat_AsDouble's TypeError, wrapped,
  // composed at once for the interpreter's own types.
  if (!PyFloat_Check(obj) && !PyLong_Check(obj)) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || (!nb->nb_float && !nb->nb_index)) {
      std::optional<std::string_view> type = static_type_name(obj, 50);
      if (type && *type == Py_TYPE(obj)->tp_name && is_ascii(name))
        return failure(new_uncaused_type_error(
            {"argument '"sv, name, "': must be real number, not "sv, *type}));
    }
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return failure(conversion_failure(name));
  return value;
}

Result<std::string_view> argument_to_utf8(PyObject* obj, std::string_view name) {
  if (!PyUnicode_Check(obj)) return failure(wrong_type(obj, name, "PyString"));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  // No UTF-8 form: the interpreter's UnicodeEncodeError says why, unchanged.
  if (!data) return failure(fetch_error());
  return std::string_view(data, static_cast<std::size_t>(size));
}

Result<void> argument_to_bytes(PyObject* obj, std::string_view name, HeldBuffer& held) {
  if (PyBytes_Check(obj)) {
    held.lend(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return {};
  }
  if (!PyByteArray_Check(obj) && !PyMemoryView_Check(obj))
    return failure(wrong_type(obj, name, "PyBytes"));
  return take_buffer(obj, name, nullptr, held);
}

PyErr wrong_type(PyObject* obj, std::string_view name, std::string_view target) {
  if (std::optional<std::string_view> type = static_type_name(obj, 200); type && is_ascii(name))
    return new_uncaused_type_error({"argument '"sv, name, "': '"sv, *type,
                                    "' object cannot be converted to '"sv, target, "'"sv});
  return wrap_argument_error(
      name, new_conversion_error(new_ref(reinterpret_cast<PyObject*>(Py_TYPE(obj))), target));
}

std::unexpected<PyErr> result_failed() { return failure(fetch_error()); }

std::unexpected<PyErr> empty_result(std::string_view function) {
  std::string text(function);
  text += "() returned an empty object";
  return failure(type_error_from_text(text));
}

Result<PyObject*> str_from_utf8_general(std::string_view text) {
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (!str) return result_failed();
  return str;
}

}  // namespace detail

}  // namespace krenn
