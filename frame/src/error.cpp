#include "krenn/error.hpp"

#include <atomic>
#include <cstring>

#include "format.hpp"
#include "panic_exception.hpp"

namespace krenn {

namespace {

constexpr std::string_view none_pending = "attempted to fetch exception but none was set";
constexpr std::string_view not_an_exception = "exceptions must derive from BaseException";

[[nodiscard]] bool is_exception_class(PyObject* type) noexcept {
  return PyExceptionClass_Check(type);
}

}  // namespace

PyObject* new_str_value(std::string_view text) {
  // Texts composed here are ASCII but for rare names: copied straight into a
  // compact ASCII str, checked on the way, and decoded only when they are not.
  auto size = static_cast<Py_ssize_t>(text.size());
  PyObject* str = PyUnicode_New(size, 127);
  if (!str) api_call_failed();
  auto* out = reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    std::memcpy(out + i, &word, 8);
    bits |= word;
  }
  for (; i < text.size(); ++i) {
    out[i] = text[i];
    bits |= static_cast<unsigned char>(text[i]);
  }
  if (bits & 0x8080808080808080u) [[unlikely]] {
    Py_DECREF(str);
    str = PyUnicode_FromStringAndSize(text.data(), size);
    if (!str) api_call_failed();
  }
  return str;
}

PyObject* exception_type_ref(PyObject* type_global) {
  if (!type_global) api_call_failed();
  Py_INCREF(type_global);
  return type_global;
}

PyErr new_system_error(std::string_view text) {
  return PyErr::lazy(ErrBuilder(ErrBuilder::Kind::fixed_type, text, nullptr, &PyExc_SystemError));
}

PyErr new_value_error(std::string_view text) {
  return PyErr::lazy(ErrBuilder(ErrBuilder::Kind::fixed_type, text, nullptr, &PyExc_ValueError));
}

PyErr new_import_error(std::string_view text) {
  return PyErr::lazy(ErrBuilder(ErrBuilder::Kind::fixed_type, text, nullptr, &PyExc_ImportError));
}

PyErr type_error_from_text(std::string_view text) {
  // Its str made now, from a text that may live on the caller's stack.
  if (!PyExc_TypeError) api_call_failed();
  return PyErr::type_error_with(new_str_value(text));
}

namespace {

// Word by word: built for size, a memcpy of unknown length becomes rep movsb,
// slow to start for pieces this short.
char* copy_piece(char* out, std::string_view piece) noexcept {
  const char* in = piece.data();
  std::size_t n = piece.size();
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) std::memcpy(out + i, in + i, 8);
    std::memcpy(out + n - 8, in + n - 8, 8);  // the last word may overlap
  } else if (n >= 4) {
    std::memcpy(out, in, 4);
    std::memcpy(out + n - 4, in + n - 4, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
  }
  return out + n;
}

// A new str of ASCII pieces, written straight into it.
PyObject* ascii_str(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
  if (!str) api_call_failed();
  auto* out = reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
  for (std::string_view piece : pieces) out = copy_piece(out, piece);
  return str;
}

// The instance at once, as normalizing a TypeError of the message would make it.
// Takes over message. It is released at once, within the entry that made it:
// nothing runs in between that could end the thread.
PyErr caused_type_error(PyObject* message, std::optional<PyErr> cause) {
  PyObject* instance = PyObject_CallOneArg(PyExc_TypeError, message);
  Py_DECREF(message);
  if (!instance) return fetch_error();
  PyErr err = PyErr::made_instance(instance);
  if (!cause) {
    PyException_SetCause(instance, nullptr);  // still sets __suppress_context__
    return err;
  }
  set_error_cause(err, std::move(cause));
  return err;
}

}  // namespace

PyErr type_error_from_ascii(std::initializer_list<std::string_view> pieces) {
  if (!PyExc_TypeError) api_call_failed();
  return PyErr::type_error_with(ascii_str(pieces));
}

PyErr new_caused_type_error(std::string_view text, std::optional<PyErr> cause) {
  if (!PyExc_TypeError) api_call_failed();
  return caused_type_error(new_str_value(text), std::move(cause));
}

PyErr new_uncaused_type_error(std::initializer_list<std::string_view> pieces) {
  if (!PyExc_TypeError) api_call_failed();
  return caused_type_error(ascii_str(pieces), std::nullopt);
}

PyErr new_not_an_integer_error(PyObject* type) {
  return PyErr::lazy(
      ErrBuilder(ErrBuilder::Kind::not_an_integer, std::string_view(), Py_NewRef(type)));
}

PyObject* not_an_integer_type(PyErr& err) {
  if (!err.is_lazy() || err.held_as_str()) return nullptr;
  ErrState& state = err.state();
  if (!state.builder || state.builder->kind() != ErrBuilder::Kind::not_an_integer) return nullptr;
  return state.builder->object();
}

PyObject* not_an_integer_message(PyObject* type) {
  PyObject* text = PyUnicode_FromFormat("'%.200s' object cannot be interpreted as an integer",
                                        reinterpret_cast<PyTypeObject*>(type)->tp_name);
  if (!text) api_call_failed();
  return text;
}

PyErr new_error_with_type(Owned type, std::string_view text) {
  return PyErr::lazy(ErrBuilder(ErrBuilder::Kind::with_type, text, type.release()));
}

PyErr new_panic_exception(MessageText text) {
  return PyErr::lazy(ErrBuilder(ErrBuilder::Kind::panic_message, std::move(text)));
}

PyErr new_conversion_error(Owned source_type, MessageText target) {
  return PyErr::lazy(
      ErrBuilder(ErrBuilder::Kind::conversion, std::move(target), source_type.release()));
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
  PyErr err = PyErr::raw(type, value, traceback);
  err.state().fetched = true;
  return err;
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

namespace {

// Takes the state's contents as a triple and leaves Normalizing behind, the
// guard against re-entrant normalization. A Lazy state is built first.
ErrTriple take_triple(ErrState& state) {
  ErrState::Tag tag = std::exchange(state.tag, ErrState::Tag::normalizing);
  if (tag != ErrState::Tag::lazy || !state.builder)  // callers rule out Normalizing
    return {std::exchange(state.type, nullptr), std::exchange(state.value, nullptr),
            std::exchange(state.traceback, nullptr), state.fetched};
  // If building panics, what is left of the builder stays with the error and
  // goes when the error is dropped.
  ErrBuilder::Built built = std::move(*state.builder).build();
  state.builder.reset();
  if (is_exception_class(built.type))
    return {built.type, built.value, built.traceback, built.fetched};
  Owned type(built.type), value(built.value);  // released after the TypeError is made
  PyErr fallback =
      new_error_with_type(Owned(exception_type_ref(PyExc_TypeError)), not_an_exception);
  ErrTriple triple = error_into_triple(std::move(fallback));
  value = Owned();
  type = Owned();
  return triple;
}

}  // namespace

ErrTriple error_into_triple(PyErr err) { return take_triple(err.state()); }

void panic_normalizing_restore() {
  panic("PyErr state should never be invalid outside of normalization");
}

void restore_error(PyErr err) {
  // The frame's own, raised as the interpreter raises: lazily, unless an
  // exception is being handled, which becomes the new one's context.
  if (PyObject* str = err.take_type_error_str()) {
    PyErr_SetObject(PyExc_TypeError, str);
    Py_DECREF(str);
    return;
  }
  if (PyObject* instance = err.take_made_instance()) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance)), instance);
    Py_DECREF(instance);
    return;
  }
  if (err.is_normalizing()) panic_normalizing_restore();
  bool raise = err.is_lazy() || err.state().made_here;
  ErrTriple t = error_into_triple(std::move(err));
  if (t.fetched) {
    // Python code raised it, and chained it as it saw fit.
    PyErr_Restore(t.type, t.value, t.traceback);
    return;
  }
  if (raise) {
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

ErrState& normalize_error(PyErr& err) {
  ErrState& state = err.state();
  if (state.tag == ErrState::Tag::normalizing)
    panic("Cannot normalize a PyErr while already normalizing it.");
  ErrTriple t = take_triple(state);
  PyErr_NormalizeException(&t.type, &t.value, &t.traceback);
  if (!t.type) panic("Exception type missing");
  if (!t.value) panic("Exception value missing");
  state.type = t.type;
  state.value = t.value;
  state.traceback = t.traceback;
  state.fetched = t.fetched;
  state.tag = ErrState::Tag::normalized;
  return state;
}

namespace {
ErrState& normalized(PyErr& err) {
  if (err.is_normalized()) [[likely]]
    return err.state();
  return normalize_error(err);
}
}  // namespace

PyObject* error_type(PyErr& err) { return normalized(err).type; }
PyObject* error_value(PyErr& err) { return normalized(err).value; }
PyObject* error_traceback(PyErr& err) { return normalized(err).traceback; }

PyErr error_from_value(PyObject* object) {
  if (PyExceptionInstance_Check(object)) {
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    return PyErr::normalized(type, Py_NewRef(object), PyException_GetTraceback(object));
  }
  ErrBuilder builder(ErrBuilder::Kind::from_value, std::string_view(), Py_NewRef(object));
  builder.set_value(Py_NewRef(Py_None));
  return PyErr::lazy(std::move(builder));
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

namespace {

// Borrowed: a static type lives as long as the interpreter, and a reference
// held here would trip the debug interpreter's check when it finalizes the type.
constinit std::atomic<PyObject*> unraisable_args;

// The type of sys.unraisablehook's argument, which only the interpreter's own
// report makes and names nowhere: found among tuple's built-in subclasses.
PyObject* unraisable_args_type() {
  if (PyObject* type = unraisable_args.load(std::memory_order_acquire)) [[likely]]
    return type;
  Owned subclasses(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyTuple_Type), "__subclasses__", nullptr));
  if (!subclasses || !PyList_Check(subclasses.get())) {
    PyErr_Clear();
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subclasses.get()); ++i) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyList_GET_ITEM(subclasses.get(), i));
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
        std::strcmp(type->tp_name, "UnraisableHookArgs") == 0) {
      unraisable_args.store(reinterpret_cast<PyObject*>(type), std::memory_order_release);
      return reinterpret_cast<PyObject*>(type);
    }
  }
  return nullptr;
}

// The pending error as the hook's argument, made as the interpreter makes it;
// the error is taken. NULL when that fails, with that failure pending.
PyObject* take_unraisable_args(PyObject* args_type, PyObject* err_msg, PyObject* object) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type && !traceback) {
    if (PyFrameObject* frame = PyEval_GetFrame()) {
      PyErr_Restore(type, value, nullptr);
      if (PyTraceBack_Here(frame) < 0) PyErr_Clear();
      PyErr_Fetch(&type, &value, &traceback);
    }
  }
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  RefTriple refs(type, value, traceback);
  if (traceback && PyTraceBack_Check(traceback) && PyException_SetTraceback(value, traceback) < 0)
    PyErr_Clear();
  PyObject* args = PyStructSequence_New(reinterpret_cast<PyTypeObject*>(args_type));
  if (!args) return nullptr;
  PyObject* items[] = {type, value, traceback, err_msg, object};
  for (Py_ssize_t i = 0; i < 5; ++i)
    PyStructSequence_SET_ITEM(args, i, Py_NewRef(items[i] ? items[i] : Py_None));
  return args;
}

// The report failed: its error is the caller's, or written by the
// interpreter's own writer, whose failure is ignored as the interpreter does.
Result<void> unraisable_report_failed(PyObject* args_type, const char* err_msg, PyObject* object) {
  PyErr failed = fetch_error();
  if (error_must_propagate(failed)) return failure(std::move(failed));
  restore_error(std::move(failed));
  Owned message(PyUnicode_FromString(err_msg));
  Owned args(message ? take_unraisable_args(args_type, message.get(), object) : nullptr);
  PyObject* write = PySys_GetObject("__unraisablehook__");
  if (args && write && PyCFunction_Check(write)) {
    if (PyObject* res = PyObject_CallOneArg(write, args.get())) {
      Py_DECREF(res);
      return {};
    }
  }
  if (std::optional<PyErr> err = try_fetch_error(); err && error_must_propagate(*err))
    return failure(std::move(*err));
  return {};
}

}  // namespace

Result<void> report_unraisable(PyErr err, PyObject* object) {
  // Made and called here as the interpreter does, so that an interrupt from a
  // hook or a sys.stderr written in Python reaches the caller: the
  // interpreter's own report would print it as ignored and clear it.
  PyObject* hook = PySys_GetObject("unraisablehook");
  PyObject* args_type = hook && hook != Py_None ? unraisable_args_type() : nullptr;
  restore_error(std::move(err));
  if (!args_type) {
    PyErr_WriteUnraisable(object);
    return {};
  }
  Owned hook_ref = new_ref(hook);
  Owned args(take_unraisable_args(args_type, nullptr, object));
  if (!args)
    return unraisable_report_failed(
        args_type, "Exception ignored on building sys.unraisablehook arguments", nullptr);
  if (PySys_Audit("sys.unraisablehook", "OO", hook, args.get()) < 0)
    return unraisable_report_failed(args_type, "Exception ignored in audit hook", nullptr);
  if (PyObject* res = PyObject_CallOneArg(hook, args.get())) {
    Py_DECREF(res);
    return {};
  }
  return unraisable_report_failed(args_type, "Exception ignored in sys.unraisablehook", hook);
}

bool is_memory_error(PyErr& err) {
  return PyErr_GivenExceptionMatches(error_type(err), PyExc_MemoryError);
}

}  // namespace krenn
