// The frame around every entry from the interpreter: pool, body, and the
// boundary that no panic or other exception crosses.
#pragma once

#include <Python.h>

#include <optional>
#include <source_location>
#include <string_view>

#include "err/err.hpp"
#include "err/panic_exception.hpp"
#include "gil.hpp"
#include "runtime.hpp"

namespace krenn {

// Ends the process if a panic unwinds through it while armed. Every normal
// path disarms it first, so reaching the destructor armed means unwinding.
class AbortGuard {
 public:
  explicit AbortGuard(std::string_view message,
                      std::source_location where = std::source_location::current()) noexcept
      : message_(message), where_(where) {}
  AbortGuard(const AbortGuard&) = delete;
  AbortGuard& operator=(const AbortGuard&) = delete;
  ~AbortGuard() {
    if (armed_) [[unlikely]]
      fire();
  }
  void disarm() noexcept { armed_ = false; }

 private:
  [[noreturn]] void fire() const noexcept;
  std::string_view message_;
  std::source_location where_;
  bool armed_ = true;
};

// An open pool; closes when the panic that unwinds through it passes.
class PoolScope {
 public:
  PoolScope() : pool_(open_pool()) {}
  PoolScope(const PoolScope&) = delete;
  PoolScope& operator=(const PoolScope&) = delete;
  ~PoolScope() {
    if (open_) close_pool(pool_);
  }
  void close() {
    open_ = false;
    close_pool(pool_);
  }

 private:
  OwnedPool pool_;
  bool open_ = true;
};

namespace detail {

inline constexpr std::string_view ffi_boundary_message = "uncaught panic at ffi boundary";

[[noreturn]] void foreign_exception() noexcept;
[[noreturn]] void panic_after_disarm() noexcept;
[[gnu::cold]] void restore_failure(std::optional<PyErr>& error,
                                   std::optional<PanicPayload>& caught);

template <typename Body>
PyObject* run_trampoline(Body& body) {
  AbortGuard guard(ffi_boundary_message);
  PoolScope pool;
  PyObject* result = nullptr;
  std::optional<PyErr> error;
  std::optional<PanicPayload> caught;
  try {
    Result<PyObject*> outcome = body();
    if (outcome.has_value()) [[likely]]
      result = *outcome;
    else
      error.emplace(std::move(outcome.error()));
  } catch (Panic& p) {
    caught.emplace(std::move(p.payload));
  } catch (...) {
    foreign_exception();
  }
  // Outside the catcher: a panic while restoring ends the process.
  if (!result) [[unlikely]]
    restore_failure(error, caught);
  guard.disarm();
  pool.close();
  return result;
}

}  // namespace detail

// Runs body() -> Result<PyObject*> as an entry: a new reference, or NULL with
// the interpreter's error set. Nothing thrown inside gets out.
template <typename Body>
[[nodiscard]] PyObject* call_trampoline(Body&& body) noexcept {
  // The handler makes the unwinder run the destructors on the way, so the
  // armed guard sees the panic; it never returns normally from here.
  try {
    return detail::run_trampoline(body);
  } catch (Panic&) {
    detail::panic_after_disarm();
  } catch (...) {
    detail::foreign_exception();
  }
}

}  // namespace krenn
