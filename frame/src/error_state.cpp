#include "krenn/error_state.hpp"

#include "format.hpp"
#include "krenn/error.hpp"
#include "panic_exception.hpp"

namespace krenn {

ErrBuilder::~ErrBuilder() {
  if (object_) release_ref(object_);
  if (value_) release_ref(value_);
}

ErrBuilder::Built ErrBuilder::build() && {
  // The type is held until the value is made: making it can fail, or panic
  // when Python code raises PanicException (a type's __qualname__, say).
  switch (kind_) {
    case Kind::fixed_type: {
      Owned type(exception_type_ref(*type_global_));
      PyObject* value = new_str_value(text_.view());
      return {type.release(), value};
    }
    case Kind::with_type: {
      Owned type(std::exchange(object_, nullptr));
      PyObject* value = new_str_value(text_.view());
      return {type.release(), value};
    }
    case Kind::from_value: return {std::exchange(object_, nullptr), std::exchange(value_, nullptr)};
    case Kind::not_an_integer: {
      Owned type(exception_type_ref(PyExc_TypeError));
      PyObject* value = not_an_integer_message(object_);
      return {type.release(), value};
    }
    case Kind::panic_message: {
      Owned type(Py_NewRef(panic_exception_type()));
      Owned args(PyTuple_New(1));
      if (!args) api_call_failed();
      MessageText text = std::move(text_);
      PyTuple_SET_ITEM(args.get(), 0, new_str_value(text.view()));
      return {type.release(), args.release()};
    }
    case Kind::conversion: {
      Owned type(exception_type_ref(PyExc_TypeError));
      Result<PyObject*> value =
          conversion_error_message(Owned(std::exchange(object_, nullptr)), std::move(text_));
      if (value) return {type.release(), *value};
      ErrTriple raised = error_into_triple(std::move(value.error()));
      return {raised.type, raised.value, raised.traceback, raised.fetched};
    }
  }
  __builtin_unreachable();
}

namespace {

// The last two states this thread gave back, empty, for the next errors: most
// errors live and die within one call. Freed when the thread ends.
constexpr std::size_t spare_count = 2;  // an error and the one that replaces it
constinit thread_local ErrState* spare_states[spare_count] [[gnu::tls_model("initial-exec")]] = {};

struct SpareStateReaper {
  constexpr SpareStateReaper() noexcept = default;
  ~SpareStateReaper() {
    for (ErrState*& spare : spare_states)
      std::unique_ptr<ErrState> freed(std::exchange(spare, nullptr));
  }
};
thread_local SpareStateReaper spare_state_reaper;
constinit thread_local bool spare_reaper_registered [[gnu::tls_model("initial-exec")]] = false;

}  // namespace

std::unique_ptr<ErrState, PyErr::Drop> PyErr::make_state(Tag tag) {
  ErrState* state = nullptr;
  for (ErrState*& spare : spare_states)
    if (spare) {
      state = std::exchange(spare, nullptr);
      break;
    }
  if (!state) state = std::make_unique<ErrState>().release();
  state->tag = tag;
  state->made_here = false;
  state->fetched = false;
  return std::unique_ptr<ErrState, Drop>(state);
}

PyErr PyErr::lazy(ErrBuilder builder) {
  auto state = make_state(Tag::lazy);
  state->builder.emplace(std::move(builder));
  return PyErr(std::move(state));
}

PyErr PyErr::raw(PyObject* type, PyObject* value, PyObject* traceback) {
  RefTriple refs(type, value, traceback);  // released if the state cannot be made
  auto state = make_state(Tag::raw);
  auto r = refs.release();
  state->type = r.type;
  state->value = r.value;
  state->traceback = r.traceback;
  return PyErr(std::move(state));
}

PyErr PyErr::normalized(PyObject* type, PyObject* value, PyObject* traceback) {
  PyErr err = raw(type, value, traceback);
  err.held()->tag = Tag::normalized;
  return err;
}

void PyErr::expand() {
  if (bits_ & str_bit) {
    auto state = make_state(Tag::lazy);
    if (!PyExc_TypeError) api_call_failed();
    state->type = Py_NewRef(PyExc_TypeError);
    state->value = take_type_error_str();
    bits_ = reinterpret_cast<std::uintptr_t>(state.release());
    return;
  }
  auto state = make_state(Tag::normalized);
  state->made_here = true;
  PyObject* instance = take_made_instance();
  state->type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
  state->value = instance;
  state->traceback = PyException_GetTraceback(instance);
  bits_ = reinterpret_cast<std::uintptr_t>(state.release());
}

void PyErr::drop(std::uintptr_t bits) noexcept {
  if (!(bits & tag_bits)) return Drop{}(reinterpret_cast<ErrState*>(bits));
  release_ref(reinterpret_cast<PyObject*>(bits & ~tag_bits));
}

PyErr PyErr::normalizing() { return PyErr(make_state(Tag::normalizing)); }

void PyErr::Drop::operator()(ErrState* state) const noexcept {
  std::unique_ptr<ErrState> owned(state);
  if (state->type || state->value || state->traceback) {
    RefTriple released(std::exchange(state->type, nullptr), std::exchange(state->value, nullptr),
                       std::exchange(state->traceback, nullptr));
  }
  state->builder.reset();
  for (ErrState*& spare : spare_states) {
    if (spare) continue;
    if (!spare_reaper_registered) {
      // Naming the thread_local object registers its destructor for this thread.
      [[maybe_unused]] volatile auto* reaper = &spare_state_reaper;
      spare_reaper_registered = true;
    }
    spare = owned.release();
    break;
  }
}

}  // namespace krenn
