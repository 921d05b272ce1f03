#include "impl/panic.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <new>

#include "err/panic_exception.hpp"

namespace krenn::detail {

namespace {

[[noreturn]] void abort_at_boundary() noexcept {
  report_panic(ffi_boundary_message, std::source_location::current());
  std::abort();
}

// Restores err; a panic on the way is resumed from Python code when it comes
// back as the payload, and ends the process otherwise.
void restore_or_resume(PyErr err) {
  std::optional<PanicPayload> resumed;
  try {
    restore_error(std::move(err));
    return;
  } catch (Panic& p) {
    if (!p.resumed) abort_at_boundary();
    resumed.emplace(std::move(p.payload));
  }
  // The PanicException of a resumed panic runs no Python code when built.
  try {
    restore_error(error_from_panic(std::move(*resumed)));
  } catch (Panic&) {
    abort_at_boundary();
  }
}

void restore_with_memory_fallback(PyErr err) {
  try {
    restore_or_resume(std::move(err));
  } catch (const OutOfMemory&) {
    PyErr_NoMemory();  // the interpreter keeps instances in reserve for this
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

}  // namespace

void restore_outcome(PyErr error) {
  if (error.is_normalizing()) {
    try {
      panic_normalizing_restore();
    } catch (Panic&) {
      abort_at_boundary();
    }
  }
  restore_with_memory_fallback(std::move(error));
}

void restore_caught() {
  std::optional<PanicPayload> payload;
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (Panic& p) {
    payload.emplace(std::move(p.payload));
  } catch (const OutOfMemory&) {
    PyErr_NoMemory();
    return;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  } catch (...) {
    fatal_error("an exception that is not a panic reached the entry boundary");
  }
  std::optional<PyErr> err;
  try {
    err.emplace(error_from_panic(std::move(*payload)));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  }
  restore_with_memory_fallback(std::move(*err));
}

void escaped_boundary() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (Panic&) {
    abort_at_boundary();
  } catch (...) {
    fatal_error("an exception that is not a panic reached the entry boundary");
  }
}

}  // namespace krenn::detail
