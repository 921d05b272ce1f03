#include "krenn/python_error.hpp"

#include <string_view>

namespace krenn {

python_error::python_error(PyErr err) : state_(std::make_shared<State>(std::move(err))) {}

const char* python_error::what() const noexcept {
  State& state = *state_;
  if (!state.described.load(std::memory_order_acquire)) describe(state);
  return state.text.c_str();
}

std::optional<PyErr> python_error::take_error() noexcept {
  std::optional<PyErr> err = std::move(state_->err);
  state_->err.reset();
  return err;
}

void python_error::describe(State& state) noexcept {
  constexpr std::string_view unprintable = "<exception str() failed>";
  // The GIL serialises the writers; a reader sees the flag only after the text.
  PyGILState_STATE gstate = PyGILState_Ensure();
  if (state.described.load(std::memory_order_relaxed)) {
    PyGILState_Release(gstate);
    return;
  }
  PyObject *type, *value, *traceback;  // an error pending meanwhile is left as it was
  PyErr_Fetch(&type, &value, &traceback);
  try {
    PyObject* text = nullptr;
    if (state.err) {
      // What normalizing registers is released here.
      struct Pool {
        OwnedPool pool = open_pool();
        ~Pool() { close_pool(pool); }
      } pool;
      text = PyObject_Str(error_value(*state.err));
    }
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (data)
      state.text.assign(data, static_cast<std::size_t>(size));
    else
      state.text.assign(unprintable);
    Py_XDECREF(text);
  } catch (...) {
    // A panic or no memory while normalizing: the text says only that.
    try {
      state.text.assign(unprintable);
    } catch (...) {
    }
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  state.described.store(true, std::memory_order_release);
  PyGILState_Release(gstate);
}

namespace detail {

void throw_pending_error() { throw python_error(fetch_error()); }
void throw_error(PyErr err) { throw python_error(std::move(err)); }

}  // namespace detail

}  // namespace krenn
