#include "krenn/boundary.hpp"

#include <cstdlib>
#include <exception>
#include <new>

#include "cpp_exceptions.hpp"
#include "panic_exception.hpp"

namespace krenn::detail {

namespace {

[[noreturn]] void abort_at_boundary() noexcept {
  report_panic(ffi_boundary_message, std::source_location::current());
  std::abort();
}

// After a panic while an error was restored: a panic that Python code raised
// (a PanicException fetched while the error was built) becomes the caller's
// PanicException, built without running Python code; any other ends the process.
[[gnu::cold]] void restore_resumed(Panic& failure) {
  if (!failure.resumed) abort_at_boundary();
  PanicPayload payload = std::move(failure.payload);
  try {
    restore_error(error_from_panic(std::move(payload)));
  } catch (Panic&) {
    abort_at_boundary();
  } catch (const OutOfMemory&) {
    PyErr_NoMemory();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

// Inside a catch-all: whether what was caught is the forced unwind of a thread
// that the interpreter ends, the one exception from outside C++ that reaches an
// entry. Told by that alone: catching it by its ABI type would bind a reference
// to an object that does not exist, and its C++ type cannot be read.
bool caught_forced_unwind() noexcept {
  if (std::current_exception()) return false;
  forced_unwind = true;
  return true;
}

}  // namespace

void restore_outcome(PyErr error) {
  try {
    restore_error(std::move(error));
  } catch (Panic& failure) {
    restore_resumed(failure);
  } catch (const OutOfMemory&) {
    PyErr_NoMemory();  // the interpreter keeps instances in reserve for this
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

void restore_caught() {
  if (caught_forced_unwind()) throw;
  std::optional<PanicPayload> payload;
  try {
    throw;
  } catch (RaisesItself& e) {
    // Raised again as it was: a callback's error, an element a view read.
    e.restore();
    return;
  } catch (Panic& p) {
    payload.emplace(std::move(p.payload));
  } catch (const OutOfMemory&) {
    PyErr_NoMemory();
    return;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  } catch (...) {
    restore_cpp_exception();
    return;
  }
  std::optional<PyErr> err;
  try {
    err.emplace(error_from_panic(std::move(*payload)));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  }
  restore_outcome(std::move(*err));
}

void escaped_boundary() {
  if (caught_forced_unwind()) throw;
  try {
    throw;
  } catch (Panic&) {
    abort_at_boundary();
  } catch (...) {
    fatal_error("an exception that is not a panic reached the entry boundary");
  }
}

}  // namespace krenn::detail
