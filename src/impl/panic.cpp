#include "impl/panic.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <new>

#include "err/panic_exception.hpp"

namespace krenn::detail {

std::optional<PyErr> error_from_caught() {
  std::optional<PanicPayload> payload;
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (Panic& p) {
    payload.emplace(std::move(p.payload));
  } catch (const OutOfMemory&) {
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (...) {
    fatal_error("an exception that is not a panic reached the entry boundary");
  }
  try {
    return error_from_panic(std::move(*payload));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

void restore_outcome(std::optional<PyErr> error) {
  std::optional<PanicPayload> resumed;
  if (error) {
    if (error->is_normalizing()) panic_normalizing_restore();
    try {
      restore_error(std::move(*error));
      return;
    } catch (Panic& p) {
      if (!p.resumed) throw;
      resumed.emplace(std::move(p.payload));
    } catch (const OutOfMemory&) {
    } catch (const std::bad_alloc&) {
    }
  }
  if (resumed) {
    try {
      restore_error(error_from_panic(std::move(*resumed)));
      return;
    } catch (const OutOfMemory&) {
    } catch (const std::bad_alloc&) {
    }
  }
  // The interpreter keeps MemoryError instances in reserve for this.
  PyErr_NoMemory();
}

void escaped_boundary() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (Panic&) {
    report_panic(ffi_boundary_message, std::source_location::current());
    std::abort();
  } catch (...) {
    fatal_error("an exception that is not a panic reached the entry boundary");
  }
}

}  // namespace krenn::detail
