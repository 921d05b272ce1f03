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

PyErr new_system_error(std::string_view text) {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::FixedType{&PyExc_SystemError, text})});
}

PyErr new_value_error(std::string_view text) {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::FixedType{&PyExc_ValueError, text})});
}

PyErr new_import_error(std::string_view text) {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::FixedType{&PyExc_ImportError, text})});
}

PyErr type_error_from_text(std::string text) {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::OwnedTypeError{std::move(text)})});
}

PyErr new_error_with_type(Owned type, std::string_view text) {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::WithType{std::move(type), text})});
}

PyErr new_panic_exception(MessageText text) {
  return PyErr(PyErr::Lazy{ErrBuilder(builders::PanicMessage{std::move(text)})});
}

PyErr new_conversion_error(Owned source_type, MessageText target) {
  return PyErr(
      PyErr::Lazy{ErrBuilder(builders::Conversion{std::move(source_type), std::move(target)})});
}

namespace {

// panic_type: the PanicException type to resume on, or NULL for none.
std::optional<PyErr> take_pending(PyObject* (*panic_type)()) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) {
    if (traceback) release_ref(traceback);
    if (value) release_ref(value);
    return std::nullopt;
  }
  if (type == panic_type()) [[unlikely]]
    resume_panic(type, value, traceback);
  return PyErr(PyErr::Raw{RefTriple(type, value, traceback)});
}

bool has_context(PyObject* value) {
  PyObject* context = PyException_GetContext(value);
  Py_XDECREF(context);
  return context != nullptr;
}

// Chains the exception being handled, if any, as the context of value, the
// way the interpreter does when it raises: a cycle through value is broken.
void chain_handled_exception(PyObject* value) {
  PyObject* handled = PyErr_GetHandledException();
  if (!handled) return;
  if (handled == value) {
    Py_DECREF(handled);
    return;
  }
  PyObject* o = handled;
  PyObject* slow = handled;  // Floyd: a cycle already in the chain ends the walk
  bool advance_slow = false;
  while (PyObject* context = PyException_GetContext(o)) {
    Py_DECREF(context);
    if (context == value) {
      PyException_SetContext(o, nullptr);
      break;
    }
    o = context;
    if (o == slow) break;
    if (advance_slow) {
      slow = PyException_GetContext(slow);
      Py_DECREF(slow);
    }
    advance_slow = !advance_slow;
  }
  PyException_SetContext(value, handled);
}

}  // namespace

std::optional<PyErr> try_fetch_error() { return take_pending(panic_exception_type); }

PyErr fetch_error_without_creating() {
  if (auto err = take_pending(panic_exception_type_if_made)) return std::move(*err);
  return new_system_error(none_pending);
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
  bool lazy = err.is_lazy();
  ErrTriple t = error_into_triple(std::move(err));
  if (lazy) {
    // As the interpreter raises: lazy, unless an exception is being handled,
    // which then becomes the new one's context.
    PyErr_SetObject(t.type, t.value);
    Py_DECREF(t.type);
    Py_XDECREF(t.value);
    return;
  }
  // An instance without a context was made by the frame, not raised by Python
  // code, which would have chained the handled exception already.
  if (t.value && PyExceptionInstance_Check(t.value) && !has_context(t.value))
    chain_handled_exception(t.value);
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

bool is_memory_error(PyErr& err) {
  return PyErr_GivenExceptionMatches(error_type(err), PyExc_MemoryError);
}

void api_call_failed() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    out_of_memory();
  }
  PyErr_Print();
  panic("Python API call failed");
}

}  // namespace krenn
