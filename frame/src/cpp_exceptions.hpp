// C++ exceptions from a body, as Python exceptions.
#pragma once

#include <Python.h>

#include <typeinfo>

namespace krenn::detail {

// Inside a handler: sets the interpreter's error for the exception being
// handled, which is neither a panic nor out-of-memory nor a forced unwind,
// nor an error that raises itself.
[[gnu::cold]] void restore_cpp_exception();

// A bound exception type, tried before the standard mapping. Kept for the
// process; the newest first. Changed only under the GIL, at module creation.
struct ExceptionTranslator {
  PyObject* type;  // a strong reference
  const std::type_info* cpp;
  bool (*catches)() noexcept;
  ExceptionTranslator* next;
};
extern constinit ExceptionTranslator* exception_translators;

}  // namespace krenn::detail
