// The frame around every entry from the interpreter: pool, body, and the
// boundary that no panic or other exception crosses.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "krenn/error.hpp"
#include "krenn/pool.hpp"
#include "krenn/runtime.hpp"

namespace krenn {

namespace detail {

inline constexpr std::string_view ffi_boundary_message = "uncaught panic at ffi boundary";

// Sets the interpreter's error from a body's error. A panic that Python code
// raised while the error was built becomes PanicException; memory running out
// becomes MemoryError; any other panic here ends the process, as the body's
// catcher must not see it.
[[gnu::cold]] void restore_outcome(PyErr error);
// Inside the body's catch-all: restores the error that a caught panic,
// std::bad_alloc or OutOfMemory stands for. A forced unwind (a thread that
// pthread_exit ends) is rethrown; any other C++ exception becomes a Python one
// (std::invalid_argument: ValueError, ...; not a std::exception: PanicException).
[[gnu::cold]] void restore_caught();
// Every exception that leaves the steps around the body lands here. A forced
// unwind goes on; nothing else reaches the interpreter.
[[noreturn]] void escaped_boundary();

template <typename Body>
[[gnu::always_inline]] inline PyObject* run_trampoline(Body& body) {
  OwnedPool pool = open_pool();
  PyObject* result = nullptr;
  try {
    Result<PyObject*> outcome = body();
    if (outcome.has_value()) [[likely]]
      result = *outcome;
    else
      restore_outcome(std::move(outcome.error()));
  } catch (...) {
    restore_caught();
  }
  // The restore ran while the pool was open, so what it made is released
  // with the call's own references.
  close_pool(pool);
  return result;
}

}  // namespace detail

// Runs body() -> Result<PyObject*> as an entry: a new reference, or NULL with
// the interpreter's error set. Not noexcept: the forced unwind of a thread that
// the interpreter ends at shutdown must pass, releasing nothing on its way (the
// thread holds no GIL), as it passes through the interpreter's own frames.
template <typename Body>
[[nodiscard, gnu::always_inline]] inline PyObject* call_trampoline(Body&& body) {
  try {
    return detail::run_trampoline(body);
  } catch (...) {
    detail::escaped_boundary();
  }
}

}  // namespace krenn
