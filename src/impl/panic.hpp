// The frame around every entry from the interpreter: pool, body, and the
// boundary that no panic or other exception crosses.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "err/err.hpp"
#include "gil.hpp"
#include "runtime.hpp"

namespace krenn {

namespace detail {

inline constexpr std::string_view ffi_boundary_message = "uncaught panic at ffi boundary";

// Inside the body's catch-all: the error that a caught panic, std::bad_alloc
// or OutOfMemory stands for; nothing means MemoryError. A forced unwind (a
// thread that pthread_exit ends) is rethrown; any other exception ends the
// process.
[[nodiscard]] std::optional<PyErr> error_from_caught();
// Sets the interpreter's error from the body's error; nothing means
// MemoryError. A panic that Python code raised while the error was built
// becomes PanicException; any other panic here escapes and ends the process.
[[gnu::cold]] void restore_outcome(std::optional<PyErr> error);
// The abort guard: every exception that leaves the steps around the body lands
// here. A forced unwind goes on; nothing else reaches the interpreter.
[[noreturn]] void escaped_boundary();

template <typename Body>
PyObject* run_trampoline(Body& body) {
  OwnedPool pool = open_pool();
  std::optional<PyErr> error;
  try {
    Result<PyObject*> outcome = body();
    if (outcome.has_value()) [[likely]] {
      close_pool(pool);
      return *outcome;
    }
    error.emplace(std::move(outcome.error()));
  } catch (...) {
    error = error_from_caught();
  }
  // Outside the catcher: the restore runs while the pool is open, so what it
  // makes is released with the call's own references.
  restore_outcome(std::move(error));
  close_pool(pool);
  return nullptr;
}

}  // namespace detail

// Runs body() -> Result<PyObject*> as an entry: a new reference, or NULL with
// the interpreter's error set. Not noexcept: the forced unwind of a thread that
// the interpreter ends at shutdown must pass, releasing nothing on its way (the
// thread holds no GIL), as it passes through the interpreter's own frames.
template <typename Body>
[[nodiscard]] PyObject* call_trampoline(Body&& body) {
  try {
    return detail::run_trampoline(body);
  } catch (...) {
    detail::escaped_boundary();
  }
}

}  // namespace krenn
