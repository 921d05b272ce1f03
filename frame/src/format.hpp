// Text forms of objects and errors, for messages and panic texts.
#pragma once

#include <Python.h>

#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "krenn/error.hpp"
#include "once.hpp"
#include "text.hpp"

namespace krenn {

extern InternedName qualname_name;

// The sink could not take the text, or a repr() failed.
struct FormatError {};
using FormatResult = std::expected<void, FormatError>;

// UTF-8 of a str: borrowed from the object, owned only when it had to be repaired.
class LossyText {
 public:
  explicit LossyText(std::string_view borrowed) noexcept : text_(borrowed) {}
  explicit LossyText(std::string owned) noexcept : text_(std::move(owned)) {}
  [[nodiscard]] std::string_view view() const noexcept {
    // get_if rather than visit: no throwing path for a variant that is never empty.
    if (auto* owned = std::get_if<std::string>(&text_)) return *owned;
    return *std::get_if<std::string_view>(&text_);
  }
  [[nodiscard]] bool is_owned() const noexcept {
    return std::holds_alternative<std::string>(text_);
  }

 private:
  std::variant<std::string_view, std::string> text_;
};

[[nodiscard]] Result<PyObject*> str_result_or_error(PyObject* result);
[[nodiscard]] Result<std::string_view> extract_text(PyObject* object);
[[nodiscard]] LossyText text_lossy(PyObject* str);
[[nodiscard]] Result<std::string_view> type_qualname(PyObject* type);
// The message's str; or an error met reading the type's name that must reach
// the caller instead (see error_must_propagate).
[[nodiscard]] Result<PyObject*> conversion_error_message(Owned source_type, MessageText target);

// A failing str() gives a placeholder and an unraisable report; an error that
// is no Exception (KeyboardInterrupt, SystemExit) or is MemoryError is the
// caller's to raise instead.
[[nodiscard]] Result<void> display_object(PyObject* object, TextBuffer& sink);
// Whether an error met while composing a message must reach the caller rather
// than be reported and replaced.
[[nodiscard]] bool error_must_propagate(PyErr& err);
FormatResult debug_object(PyObject* object, TextBuffer& sink);
FormatResult debug_error(PyErr& err, TextBuffer& sink);

}  // namespace krenn
