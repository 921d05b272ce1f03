// Running a body without the GIL: the thread state is saved around it, and the
// frame's GIL count says "not held" meanwhile, so references given up in the
// body wait in the deferred queue for the next holder.
#pragma once

#include <Python.h>

#include <cstdint>
#include <type_traits>

#include "krenn/pool.hpp"

namespace krenn {

// The declaration option: KRENN_FUNCTION(name, doc, "a"_a, krenn::without_gil).
struct WithoutGil {};
inline constexpr WithoutGil without_gil{};

namespace detail {

struct SavedThread {
  std::int64_t gil_count;
  PyThreadState* state;
};

[[nodiscard]] inline SavedThread save_thread() noexcept {
  SavedThread saved{thread_state.gil_count, PyEval_SaveThread()};
  thread_state.gil_count = 0;
  return saved;
}

// Not noexcept: at interpreter shutdown taking the GIL back ends the thread by
// a forced unwind.
inline void restore_thread(SavedThread saved) {
  PyEval_RestoreThread(saved.state);
  thread_state.gil_count = saved.gil_count;
  apply_pending();
}

// Inside a handler: takes the GIL back for an exception that the entry will
// turn into a Python one; a forced unwind goes on without it.
void restore_thread_unwinding(SavedThread saved);

template <typename F>
std::invoke_result_t<F> call_without_gil(F&& f) {
  SavedThread saved = save_thread();
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
      f();
      restore_thread(saved);
    } else {
      std::invoke_result_t<F> result = f();
      restore_thread(saved);
      return result;
    }
  } catch (...) {
    restore_thread_unwinding(saved);
    throw;
  }
}

}  // namespace detail

}  // namespace krenn
