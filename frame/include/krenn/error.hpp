// The frame's one error value and the operations on it.
#pragma once

#include <Python.h>

#include <expected>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "krenn/error_state.hpp"

namespace krenn {

template <typename T>
using Result = std::expected<T, PyErr>;

namespace detail {
// A C++ exception that knows the Python error it stands for: the entry
// boundary lets it set the error itself, so only modules that throw one link
// the code that does.
class RaisesItself {
 public:
  virtual void restore() noexcept = 0;

 protected:
  RaisesItself() = default;
  RaisesItself(const RaisesItself&) = default;
  RaisesItself& operator=(const RaisesItself&) = default;
  ~RaisesItself() = default;
};
}  // namespace detail

[[nodiscard]] inline std::unexpected<PyErr> failure(PyErr err) noexcept {
  return std::unexpected<PyErr>(std::move(err));
}

// Builders: each makes a Lazy error and no Python object.
// These keep the text as given: a constant. A text composed for the error
// goes to new_error_of, which owns it.
[[nodiscard]] PyErr new_system_error(std::string_view text);
[[nodiscard]] PyErr new_value_error(std::string_view text);
[[nodiscard]] PyErr new_import_error(std::string_view text);
[[nodiscard]] PyErr new_error_of(PyObject* type, std::string text);
[[nodiscard]] PyErr type_error_from_text(std::string_view text);
// The same for a text of pieces known to be ASCII, written straight into its str.
[[nodiscard]] PyErr type_error_from_ascii(std::initializer_list<std::string_view> pieces);
// A TypeError of the text with the cause given (none: NULL, which still sets
// __suppress_context__), Normalized.
[[nodiscard]] PyErr new_caused_type_error(std::string_view text, std::optional<PyErr> cause);
// The same without a cause, for a text of pieces known to be ASCII.
[[nodiscard]] PyErr new_uncaused_type_error(std::initializer_list<std::string_view> pieces);
// TypeError "'<name>' object cannot be interpreted as an integer": what the
// interpreter raises for an object of that type, which has no __index__.
[[nodiscard]] PyErr new_not_an_integer_error(PyObject* type);
// The type such an error was made for, while it is still Lazy; NULL otherwise.
[[nodiscard]] PyObject* not_an_integer_type(PyErr& err);
[[nodiscard]] PyObject* not_an_integer_message(PyObject* type);
[[nodiscard]] PyErr new_error_with_type(Owned type, std::string_view text);
[[nodiscard]] PyErr new_panic_exception(MessageText text);
[[nodiscard]] PyErr new_conversion_error(Owned source_type, MessageText target);

// The interpreter's pending error; nothing when none is pending. A pending
// PanicException resumes its panic instead of returning.
[[nodiscard]] std::optional<PyErr> try_fetch_error();
// Always an error: SystemError when nothing was pending.
[[nodiscard]] PyErr fetch_error();
// As fetch_error, but never makes the PanicException type to compare with:
// for the fetch inside that type's own creation.
[[nodiscard]] PyErr fetch_error_without_creating();
void restore_error(PyErr err);

struct ErrTriple {
  PyObject* type;        // new reference
  PyObject* value;       // new reference or NULL
  PyObject* traceback;   // new reference or NULL
  bool fetched = false;  // raised by Python code: restored as it was
};
[[nodiscard]] ErrTriple error_into_triple(PyErr err);
ErrState& normalize_error(PyErr& err);
[[nodiscard]] PyObject* error_type(PyErr& err);
[[nodiscard]] PyObject* error_value(PyErr& err);
[[nodiscard]] PyObject* error_traceback(PyErr& err);

[[nodiscard]] PyErr error_from_value(PyObject* object);
[[nodiscard]] std::optional<PyErr> error_cause(PyErr& err);
void set_error_cause(PyErr& err, std::optional<PyErr> cause);
inline void drop_error(PyErr err) noexcept { (void)err; }
// An error that is no Exception (KeyboardInterrupt, SystemExit) or is
// MemoryError, raised by the report's hook or its writes, is the caller's.
[[nodiscard]] Result<void> report_unraisable(PyErr err, PyObject* object);
// MemoryError or a subclass: the error that out-of-memory handling passes on.
[[nodiscard]] bool is_memory_error(PyErr& err);

// A new str of the text (a new reference).
[[nodiscard]] PyObject* new_str_value(std::string_view text);
// A fixed exception-type global, as a new reference.
[[nodiscard]] PyObject* exception_type_ref(PyObject* type_global);

[[noreturn]] void panic_normalizing_restore();

}  // namespace krenn
