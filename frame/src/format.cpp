#include "format.hpp"

#include "once.hpp"
#include "utf8.hpp"

namespace krenn {

constinit InternedName qualname_name{"__qualname__"};

namespace {

FormatResult write_lossy(PyObject* str, TextBuffer& sink) {
  LossyText text = text_lossy(str);
  sink += text.view();
  return {};
}

}  // namespace

Result<PyObject*> str_result_or_error(PyObject* result) {
  if (!result) return failure(fetch_error());
  register_owned(result);
  return result;
}

Result<std::string_view> extract_text(PyObject* object) {
  if (!PyUnicode_Check(object)) [[unlikely]]
    return failure(new_conversion_error(new_ref(reinterpret_cast<PyObject*>(Py_TYPE(object))),
                                        std::string_view("PyString")));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) return failure(fetch_error());
  return std::string_view(data, static_cast<std::size_t>(size));
}

LossyText text_lossy(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) [[likely]]
    return LossyText(std::string_view(data, static_cast<std::size_t>(size)));
  PyErr encode_error = fetch_error();
  PyObject* bytes = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
  if (!bytes) api_call_failed();
  register_owned(bytes);
  TextBuffer repaired;
  decode_utf8_lossy(
      std::string_view(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes))),
      repaired);
  drop_error(std::move(encode_error));
  return LossyText(std::string(repaired.view()));
}

Result<std::string_view> type_qualname(PyObject* type) {
  Owned name = new_ref(qualname_name.get());
  PyObject* value = PyObject_GetAttr(type, name.get());
  name = Owned();
  if (!value) return failure(fetch_error());
  register_owned(value);
  return extract_text(value);
}

Result<PyObject*> conversion_error_message(Owned source_type, MessageText target) {
  TextBuffer text;
  text += '\'';
  if (Result<std::string_view> name = type_qualname(source_type.get()))
    text += *name;
  else if (is_memory_error(name.error()))
    out_of_memory();
  else if (error_must_propagate(name.error()))
    return failure(std::move(name.error()));
  else
    text += "<failed to extract type name>";
  text += "' object cannot be converted to '";
  text += target.view();
  text += "'";
  PyObject* str = new_str_value(text.view());
  return str;
}

bool error_must_propagate(PyErr& err) {
  PyObject* type = error_type(err);
  return !PyErr_GivenExceptionMatches(type, PyExc_Exception) || is_memory_error(err);
}

Result<void> display_object(PyObject* object, TextBuffer& sink) {
  Result<PyObject*> str = str_result_or_error(PyObject_Str(object));
  if (str) [[likely]] {
    sink += text_lossy(*str).view();
    return {};
  }
  if (error_must_propagate(str.error())) return failure(std::move(str.error()));
  if (Result<void> reported = report_unraisable(std::move(str.error()), object); !reported)
    return reported;
  PyTypeObject* type = Py_TYPE(object);
  if (!type) api_call_failed();
  Result<std::string_view> name = type_qualname(reinterpret_cast<PyObject*>(type));
  if (name) {
    sink += "<unprintable ";
    sink += *name;
    sink += " object>";
    return {};
  }
  if (error_must_propagate(name.error())) return failure(std::move(name.error()));
  sink += "<unprintable object>";
  return {};
}

FormatResult debug_object(PyObject* object, TextBuffer& sink) {
  Result<PyObject*> repr = str_result_or_error(PyObject_Repr(object));
  if (!repr) return std::unexpected(FormatError{});
  return write_lossy(*repr, sink);
}

FormatResult debug_error(PyErr& err, TextBuffer& sink) {
  GilEnsureGuard gil = acquire_gil();
  sink += "PyErr { type: ";
  if (!debug_object(error_type(err), sink)) return std::unexpected(FormatError{});
  sink += ", value: ";
  if (!debug_object(error_value(err), sink)) return std::unexpected(FormatError{});
  sink += ", traceback: ";
  if (PyObject* traceback = error_traceback(err)) {
    sink += "Some(";
    if (!debug_object(traceback, sink)) return std::unexpected(FormatError{});
    sink += ")";
  } else {
    sink += "None";
  }
  sink += " }";
  return {};
}

}  // namespace krenn
