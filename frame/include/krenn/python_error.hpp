// A Python exception on its way through C++ code: what a callback raised,
// thrown so that the body's own C++ code can unwind or catch it. The entry
// that the body returns through raises it again as it was raised (type,
// value, traceback and context unchanged).
#pragma once

#include <Python.h>

#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "krenn/error.hpp"

namespace krenn {

class python_error : public std::exception {
 public:
  explicit python_error(PyErr err);

  // The exception's str, made the first time it is asked for (with the GIL,
  // which it takes when the thread lacks it).
  [[nodiscard]] const char* what() const noexcept override;

  // The error, handed over to be raised; nothing if it was handed over
  // already. Needs the GIL.
  [[nodiscard]] std::optional<PyErr> take_error() noexcept;

 private:
  // Shared: a thrown exception is copied, and copies may be made, kept and
  // dropped on threads without the GIL.
  struct State {
    explicit State(PyErr e) noexcept : err(std::move(e)) {}
    std::optional<PyErr> err;
    std::atomic<bool> described{false};
    std::string text;
  };
  static void describe(State& state) noexcept;
  std::shared_ptr<State> state_;
};

namespace detail {

// Throws the interpreter's pending error as a python_error.
[[noreturn, gnu::cold]] void throw_pending_error();
[[noreturn, gnu::cold]] void throw_error(PyErr err);

}  // namespace detail

}  // namespace krenn
