// PyErr in each state, held in a registry and driven by handle from Python.
#include <deque>
#include <optional>
#include <string>
#include <thread>

#include "format.hpp"
#include "panic_exception.hpp"
#include "testmod.hpp"

namespace krenn::testing {

namespace {

std::vector<std::optional<PyErr>> registry;
// Constant texts must outlive the errors that borrow them.
std::deque<std::string> constant_texts;

std::string_view keep_text(const char* text) { return constant_texts.emplace_back(text); }

Result<PyObject*> store(PyErr err) {
  registry.emplace_back(std::move(err));
  return PyLong_FromSize_t(registry.size() - 1);
}

Result<PyObject*> store(std::optional<PyErr> err) {
  if (!err) return none();
  return store(std::move(*err));
}

[[nodiscard]] PyErr* lookup(Py_ssize_t handle) {
  if (handle < 0 || static_cast<std::size_t>(handle) >= registry.size() || !registry[handle]) {
    PyErr_SetString(PyExc_KeyError, "no such error");
    return nullptr;
  }
  return &*registry[handle];
}

[[nodiscard]] PyErr* handle_arg(PyObject* args) {
  Py_ssize_t handle;
  if (!PyArg_ParseTuple(args, "n", &handle)) return nullptr;
  return lookup(handle);
}

[[nodiscard]] std::optional<PyErr> take(PyObject* args) {
  Py_ssize_t handle;
  if (!PyArg_ParseTuple(args, "n", &handle) || !lookup(handle)) return std::nullopt;
  std::optional<PyErr> err = std::move(registry[handle]);
  registry[handle].reset();
  return err;
}

Result<PyObject*> borrowed(PyObject* obj) {
  PyObject* out = obj ? obj : Py_None;
  Py_INCREF(out);
  return out;
}

Result<PyObject*> err_new(PyObject* args) {
  const char* kind;
  PyObject* a = nullptr;
  PyObject* b = nullptr;
  if (!PyArg_ParseTuple(args, "s|OO", &kind, &a, &b)) return fetched();
  std::string_view k(kind);
  auto text_of = [](PyObject* obj) -> const char* { return obj ? PyUnicode_AsUTF8(obj) : nullptr; };
  if (k == "system" || k == "value" || k == "import" || k == "panic_constant") {
    const char* text = text_of(a);
    if (!text) return fetched();
    std::string_view kept = keep_text(text);
    if (k == "system") return store(new_system_error(kept));
    if (k == "value") return store(new_value_error(kept));
    if (k == "import") return store(new_import_error(kept));
    return store(new_panic_exception(kept));
  }
  if (k == "type" || k == "panic") {
    const char* text = text_of(a);
    if (!text) return fetched();
    if (k == "type") return store(type_error_from_text(text));
    return store(new_panic_exception(std::string(text)));
  }
  if (k == "with_type") {
    const char* text = text_of(b);
    if (!a || !text) return fetched();
    return store(new_error_with_type(new_ref(a), keep_text(text)));
  }
  if (k == "from_value") {
    if (!a) return fetched();
    return store(error_from_value(a));
  }
  if (k == "conversion") {
    const char* target = text_of(b);
    if (!a || !target) return fetched();
    return store(new_conversion_error(new_ref(a), std::string(target)));
  }
  PyErr_SetString(PyExc_ValueError, "unknown kind");
  return fetched();
}

// Makes (type, value, traceback) pending as given, then fetches it.
Result<PyObject*> err_fetch_given(PyObject* args) {
  PyObject *type, *value = Py_None, *traceback = Py_None;
  if (!PyArg_ParseTuple(args, "O|OO", &type, &value, &traceback)) return fetched();
  Py_INCREF(type);
  PyObject* v = value == Py_None ? nullptr : (Py_INCREF(value), value);
  PyObject* t = traceback == Py_None ? nullptr : (Py_INCREF(traceback), traceback);
  PyErr_Restore(type, v, t);
  return store(try_fetch_error());
}

Result<PyObject*> err_fetch(PyObject*) { return store(fetch_error()); }
Result<PyObject*> err_try_fetch(PyObject*) { return store(try_fetch_error()); }

Result<PyObject*> err_state(PyObject* args) {
  PyErr* err = handle_arg(args);
  if (!err) return fetched();
  const char* name = err->is_lazy()         ? "Lazy"
                     : err->is_raw()        ? "Raw"
                     : err->is_normalized() ? "Normalized"
                                            : "Normalizing";
  return PyUnicode_FromString(name);
}

Result<PyObject*> err_type(PyObject* args) {
  PyErr* err = handle_arg(args);
  if (!err) return fetched();
  return borrowed(error_type(*err));
}

Result<PyObject*> err_value(PyObject* args) {
  PyErr* err = handle_arg(args);
  if (!err) return fetched();
  return borrowed(error_value(*err));
}

Result<PyObject*> err_traceback(PyObject* args) {
  PyErr* err = handle_arg(args);
  if (!err) return fetched();
  return borrowed(error_traceback(*err));
}

Result<PyObject*> err_normalize(PyObject* args) {
  PyErr* err = handle_arg(args);
  if (!err) return fetched();
  (void)normalize_error(*err);
  return none();
}

// The trampoline restores it.
Result<PyObject*> err_raise(PyObject* args) {
  std::optional<PyErr> err = take(args);
  if (!err) return fetched();
  return failure(std::move(*err));
}

// Restores inside the body, where a panic becomes a PanicException.
Result<PyObject*> err_restore_in_body(PyObject* args) {
  std::optional<PyErr> err = take(args);
  if (!err) return fetched();
  restore_error(std::move(*err));
  return fetched();
}

Result<PyObject*> err_into_triple(PyObject* args) {
  std::optional<PyErr> err = take(args);
  if (!err) return fetched();
  ErrTriple t = error_into_triple(std::move(*err));
  auto or_none = [](PyObject* obj) { return obj ? obj : (Py_INCREF(Py_None), Py_None); };
  return Py_BuildValue("(NNN)", t.type, or_none(t.value), or_none(t.traceback));
}

Result<PyObject*> err_drop(PyObject* args) {
  std::optional<PyErr> err = take(args);
  if (!err) return fetched();
  drop_error(std::move(*err));
  return none();
}

// Leaves the error as an interrupted normalization would.
Result<PyObject*> err_set_normalizing(PyObject* args) {
  PyErr* err = handle_arg(args);
  if (!err) return fetched();
  PyErr dropped = std::exchange(*err, PyErr::normalizing());
  return none();
}

Result<PyObject*> err_cause(PyObject* args) {
  PyErr* err = handle_arg(args);
  if (!err) return fetched();
  return store(error_cause(*err));
}

Result<PyObject*> err_set_cause(PyObject* args) {
  Py_ssize_t handle;
  PyObject* cause_handle;
  if (!PyArg_ParseTuple(args, "nO", &handle, &cause_handle)) return fetched();
  PyErr* err = lookup(handle);
  if (!err) return fetched();
  std::optional<PyErr> cause;
  if (cause_handle != Py_None) {
    Py_ssize_t c = PyLong_AsSsize_t(cause_handle);
    if (!lookup(c)) return fetched();
    cause = std::move(registry[c]);
    registry[c].reset();
  }
  set_error_cause(*err, std::move(cause));
  return none();
}

Result<PyObject*> err_debug(PyObject* args) {
  PyErr* err = handle_arg(args);
  if (!err) return fetched();
  TextBuffer text;
  if (!debug_error(*err, text)) {
    PyErr_SetString(PyExc_RuntimeError, "formatting failed");
    return fetched();
  }
  return PyUnicode_FromStringAndSize(text.view().data(),
                                     static_cast<Py_ssize_t>(text.view().size()));
}

// debug_error on a native thread that has no GIL: (text, GilCount before,
// GilCount after, GIL held before, GIL held after).
Result<PyObject*> err_debug_native_thread(PyObject*) {
  TextBuffer text;
  std::int64_t before = 0, after = 0;
  int held_before = 0, held_after = 0;
  Py_BEGIN_ALLOW_THREADS;
  std::thread([&] {
    PyErr err = new_system_error("attempted to fetch exception but none was set");
    before = gil_count();
    held_before = PyGILState_Check();
    (void)debug_error(err, text);
    after = gil_count();
    held_after = PyGILState_Check();
  }).join();
  Py_END_ALLOW_THREADS;
  return Py_BuildValue("(s#LLii)", text.view().data(), static_cast<Py_ssize_t>(text.view().size()),
                       static_cast<long long>(before), static_cast<long long>(after), held_before,
                       held_after);
}

Result<PyObject*> err_report_unraisable(PyObject* args) {
  Py_ssize_t handle;
  PyObject* obj;
  if (!PyArg_ParseTuple(args, "nO", &handle, &obj) || !lookup(handle)) return fetched();
  PyErr err = std::move(*registry[handle]);
  registry[handle].reset();
  if (Result<void> reported = report_unraisable(std::move(err), obj); !reported)
    return failure(std::move(reported.error()));
  return none();
}

// Sets exc as pending (if given) and stops at a call that must not fail.
Result<PyObject*> call_api_call_failed(PyObject* args) {
  PyObject* exc = Py_None;
  if (!PyArg_ParseTuple(args, "|O", &exc)) return fetched();
  if (exc != Py_None) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  api_call_failed();
}

// Drops every error still held, so repeated runs of a test can be measured.
Result<PyObject*> err_clear(PyObject*) {
  registry.clear();
  return none();
}

PyObject* panic_exception_ready(PyObject*, PyObject*) {
  return PyBool_FromLong(panic_exception_type_ready());
}

}  // namespace

void add_error_methods(Methods& out) {
  out.insert(out.end(), {
                            def<err_new>("err_new"),
                            def<err_fetch_given>("err_fetch_given"),
                            def<err_fetch>("err_fetch"),
                            def<err_try_fetch>("err_try_fetch"),
                            def<err_state>("err_state"),
                            def<err_type>("err_type"),
                            def<err_value>("err_value"),
                            def<err_traceback>("err_traceback"),
                            def<err_normalize>("err_normalize"),
                            def<err_raise>("err_raise"),
                            def<err_restore_in_body>("err_restore_in_body"),
                            def<err_into_triple>("err_into_triple"),
                            def<err_drop>("err_drop"),
                            def<err_set_normalizing>("err_set_normalizing"),
                            def<err_cause>("err_cause"),
                            def<err_set_cause>("err_set_cause"),
                            def<err_debug>("err_debug"),
                            def<err_debug_native_thread>("err_debug_native_thread"),
                            def<err_report_unraisable>("err_report_unraisable"),
                            def<call_api_call_failed>("call_api_call_failed"),
                            def<err_clear>("err_clear"),
                            {"panic_exception_ready", panic_exception_ready, METH_NOARGS, nullptr},
                        });
}

}  // namespace krenn::testing
