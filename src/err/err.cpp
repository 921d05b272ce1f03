#include "err/err.hpp"

#include "err/panic_exception.hpp"
#include "types/module.hpp"

namespace krenn {

namespace {

constexpr std::string_view none_pending = "attempted to fetch exception but none was set";
constexpr std::string_view not_an_exception = "exceptions must derive from BaseException";

[[nodiscard]] bool is_exception_class(PyObject* type) noexcept {
  return PyExceptionClass_Check(type);
}

}  // namespace

PyObject* new_str_value(std::string_view text) {
  PyObject* str = new_str(text);
  Py_INCREF(str);  // the value's own, independent of the pool
  return str;
}

PyObject* exception_type_ref(PyObject* type_global) {
  if (!type_global) api_call_failed();
  Py_INCREF(type_global);
  return type_global;
}

PyErr new_system_error(std::string_view text) noexcept {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::FixedType{&PyExc_SystemError, text})});
}

PyErr new_value_error(std::string_view text) noexcept {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::FixedType{&PyExc_ValueError, text})});
}

PyErr new_import_error(std::string_view text) noexcept {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::FixedType{&PyExc_ImportError, text})});
}

PyErr type_error_from_text(std::string text) noexcept {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::OwnedTypeError{std::move(text)})});
}

PyErr new_error_with_type(Owned type, std::string_view text) noexcept {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::WithType{std::move(type), text})});
}

PyErr new_panic_exception(MessageText text) noexcept {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::PanicMessage{std::move(text)})});
}

PyErr new_conversion_error(Owned source_type, MessageText target) noexcept {
  return PyErr(
      PyErr::Lazy{ErrBuilder(builders::Conversion{std::move(source_type), std::move(target)})});
}

std::optional<PyErr> try_fetch_error() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) {
    if (traceback) release_ref(traceback);
    if (value) release_ref(value);
    return std::nullopt;
  }
  if (type == panic_exception_type()) [[unlikely]]
    resume_panic(type, value, traceback);
  return PyErr(PyErr::Raw{RefTriple(type, value, traceback)});
}

PyErr fetch_error() {
  if (auto err = try_fetch_error()) return std::move(*err);
  return new_system_error(none_pending);
}

ErrTriple triple_from_state(PyErr::State state) {
  if (auto* raw = std::get_if<PyErr::Raw>(&state)) {
    auto r = raw->refs.release();
    return {r.type, r.value, r.traceback};
  }
  if (auto* norm = std::get_if<PyErr::Normalized>(&state)) {
    auto r = norm->refs.release();
    return {r.type, r.value, r.traceback};
  }
  auto& lazy = std::get<PyErr::Lazy>(state);  // callers rule out Normalizing
  ErrBuilder::Built built = std::move(lazy.builder).build();
  if (is_exception_class(built.type)) return {built.type, built.value, nullptr};
  PyErr fallback =
      new_error_with_type(Owned(exception_type_ref(PyExc_TypeError)), not_an_exception);
  ErrTriple triple = error_into_triple(std::move(fallback));
  release_ref(built.value);
  release_ref(built.type);
  return triple;
}

ErrTriple error_into_triple(PyErr err) { return triple_from_state(err.take_state()); }

void panic_normalizing_restore() {
  panic("PyErr state should never be invalid outside of normalization");
}

void restore_error(PyErr err) {
  if (err.is_normalizing()) panic_normalizing_restore();
  ErrTriple t = error_into_triple(std::move(err));
  PyErr_Restore(t.type, t.value, t.traceback);
}

const PyErr::Normalized& normalize_error(PyErr& err) {
  PyErr::State state = err.take_state();
  if (std::holds_alternative<PyErr::Normalizing>(state))
    panic("Cannot normalize a PyErr while already normalizing it.");
  ErrTriple t = triple_from_state(std::move(state));
  PyErr_NormalizeException(&t.type, &t.value, &t.traceback);
  if (!t.type) panic("Exception type missing");
  if (!t.value) panic("Exception value missing");
  err.set_state(PyErr::Normalized{RefTriple(t.type, t.value, t.traceback)});
  return *err.normalized();
}

namespace {
const PyErr::Normalized& normalized(PyErr& err) {
  if (const auto* n = err.normalized()) [[likely]]
    return *n;
  return normalize_error(err);
}
}  // namespace

PyObject* error_type(PyErr& err) { return normalized(err).refs.type(); }
PyObject* error_value(PyErr& err) { return normalized(err).refs.value(); }
PyObject* error_traceback(PyErr& err) { return normalized(err).refs.traceback(); }

PyErr error_from_value(PyObject* object) {
  if (PyExceptionInstance_Check(object)) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Py_INCREF(type);
    Py_INCREF(object);
    return PyErr(PyErr::Normalized{RefTriple(type, object, PyException_GetTraceback(object))});
  }
  return PyErr(PyErr::Lazy{ErrBuilder(builders::FromValue{new_ref(Py_None), new_ref(object)})});
}

std::optional<PyErr> error_cause(PyErr& err) {
  PyObject* cause = PyException_GetCause(error_value(err));
  if (!cause) return std::nullopt;
  register_owned(cause);
  return error_from_value(cause);
}

void set_error_cause(PyErr& err, std::optional<PyErr> cause) {
  PyObject* value = error_value(err);
  PyObject* cause_value = nullptr;
  if (cause) {
    cause_value = error_value(*cause);
    Py_INCREF(cause_value);
    if (PyObject* traceback = error_traceback(*cause))
      PyException_SetTraceback(cause_value, traceback);
    cause.reset();
  }
  PyException_SetCause(value, cause_value);
}

void report_unraisable(PyErr err, PyObject* object) {
  restore_error(std::move(err));
  PyErr_WriteUnraisable(object);
}

void api_call_failed() {
  PyErr_Print();
  panic("Python API call failed");
}

}  // namespace krenn
