// C++ exceptions from a body, as Python exceptions.
#pragma once

namespace krenn::detail {

// Inside a handler: sets the interpreter's error for the exception being
// handled, which is neither a panic nor out-of-memory nor a forced unwind.
[[gnu::cold]] void restore_cpp_exception();

}  // namespace krenn::detail
