// PanicException: a panic seen from Python, and a panic coming back from it.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "krenn/error.hpp"
#include "krenn/runtime.hpp"

namespace krenn {

// Borrowed from its process-wide slot; made on first use.
[[nodiscard]] PyObject* panic_exception_type();
// Whether the slot is filled yet, without filling it.
[[nodiscard]] bool panic_exception_type_ready() noexcept;
// The slot's type, or NULL while it is not made yet.
[[nodiscard]] PyObject* panic_exception_type_if_made() noexcept;

[[nodiscard]] Result<PyObject*> new_exception_type(std::string_view name,
                                                   std::optional<std::string_view> doc,
                                                   PyObject* base);

[[nodiscard]] PyErr error_from_panic(PanicPayload payload);

// Takes over three references; prints the traceback and resumes the panic.
[[noreturn]] void resume_panic(PyObject* type, PyObject* value, PyObject* traceback);

}  // namespace krenn
