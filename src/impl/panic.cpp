#include "impl/panic.hpp"

#include <cstdlib>

namespace krenn {

void AbortGuard::fire() const noexcept {
  // A second panic while the first unwinds: report it and end the process.
  report_panic(message_, where_);
  std::abort();
}

namespace detail {

void foreign_exception() noexcept {
  fatal_error("an exception that is not a panic reached the entry boundary");
}

void panic_after_disarm() noexcept {
  report_panic(ffi_boundary_message, std::source_location::current());
  std::abort();
}

void restore_failure(std::optional<PyErr>& error, std::optional<PanicPayload>& caught) {
  if (!error && !caught) panic("an entry body returned no object and no error");
  PyErr err = error ? std::move(*error) : error_from_panic(std::move(*caught));
  error.reset();
  caught.reset();
  if (err.is_normalizing()) panic_normalizing_restore();
  restore_error(std::move(err));
}

}  // namespace detail

}  // namespace krenn
