// The states of an error value and the lazy builder behind its Lazy state.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "gil.hpp"

namespace krenn {

// A constant text kept by reference, or an owned one; both read as a view.
class MessageText {
 public:
  MessageText(std::string_view constant) noexcept : constant_(constant) {}                // NOLINT
  MessageText(std::string owned) noexcept : owned_(std::move(owned)), is_owned_(true) {}  // NOLINT
  [[nodiscard]] std::string_view view() const noexcept {
    return is_owned_ ? std::string_view(owned_) : constant_;
  }
  [[nodiscard]] bool is_owned() const noexcept { return is_owned_; }

 private:
  std::string_view constant_;
  std::string owned_;
  bool is_owned_ = false;
};

// One-shot: build() consumes it; destroying an unbuilt one releases what it
// holds. Every kind is the same few fields, read according to the kind.
class ErrBuilder {
 public:
  enum class Kind : std::uint8_t {
    fixed_type,      // type_global, constant text: SystemError, ValueError, ImportError
    with_value,      // object = the type, value = the value, both made already
    with_type,       // object = the type, constant text
    from_value,      // object = offered as the type, value = None
    panic_message,   // constant or owned text
    conversion,      // object = the source type, target name as text
    not_an_integer,  // object = the type of an object without __index__
  };

  ErrBuilder(Kind kind, MessageText text, PyObject* object = nullptr,
             PyObject* const* type_global = nullptr) noexcept
      : kind_(kind), type_global_(type_global), object_(object), text_(std::move(text)) {}
  ErrBuilder(ErrBuilder&& other) noexcept
      : kind_(other.kind_),
        type_global_(other.type_global_),
        object_(std::exchange(other.object_, nullptr)),
        value_(std::exchange(other.value_, nullptr)),
        text_(std::move(other.text_)) {}
  ErrBuilder& operator=(ErrBuilder&&) = delete;
  ~ErrBuilder();

  // Takes over a reference to the value, released after the object's.
  void set_value(PyObject* value) noexcept { value_ = value; }
  // Lets go of the references without releasing them.
  void forget() noexcept { object_ = value_ = nullptr; }
  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] bool holds_refs() const noexcept { return object_ || value_; }
  [[nodiscard]] PyObject* object() const noexcept { return object_; }

  struct Built {
    PyObject* type;   // new reference
    PyObject* value;  // new reference
  };
  [[nodiscard]] Built build() &&;

 private:
  Kind kind_;
  PyObject* const* type_global_;
  PyObject* object_;  // owned reference or NULL
  PyObject* value_ = nullptr;
  MessageText text_;
};

// Three references owned together, released type first.
class RefTriple {
 public:
  RefTriple(PyObject* type, PyObject* value, PyObject* traceback) noexcept
      : type_(type), value_(value), traceback_(traceback) {}
  RefTriple(const RefTriple&) = delete;
  RefTriple& operator=(const RefTriple&) = delete;
  ~RefTriple() {
    if (type_) release_ref(type_);
    if (value_) release_ref(value_);
    if (traceback_) release_ref(traceback_);
  }

  [[nodiscard]] PyObject* type() const noexcept { return type_; }
  [[nodiscard]] PyObject* value() const noexcept { return value_; }
  [[nodiscard]] PyObject* traceback() const noexcept { return traceback_; }
  void normalize() noexcept { PyErr_NormalizeException(&type_, &value_, &traceback_); }

  struct Released {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
  };
  [[nodiscard]] Released release() noexcept {
    return {std::exchange(type_, nullptr), std::exchange(value_, nullptr),
            std::exchange(traceback_, nullptr)};
  }

 private:
  PyObject* type_;
  PyObject* value_;
  PyObject* traceback_;
};

// Where an error stands, on the heap behind its PyErr. Raw and Normalized
// own type, value and traceback; Lazy owns its builder, or, when the frame
// made the pair at once, type and value; Normalizing is the placeholder while
// normalization runs, and owns nothing.
struct ErrState {
  enum class Tag : std::uint8_t { lazy, raw, normalized, normalizing };
  Tag tag;
  // A Normalized error whose instance the frame made: raised as the
  // interpreter raises, with the exception being handled as its context.
  bool made_here = false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  std::optional<ErrBuilder> builder;  // Lazy only
};

// The error value: one pointer, so results that carry it stay small, and every
// operation on its state is an out-of-line call. Dropping it in any state
// releases what it owns (through release_ref, so that works without the GIL).
class [[nodiscard]] PyErr {
 public:
  using Tag = ErrState::Tag;

  // Each allocates the state; std::bad_alloc when that fails.
  [[nodiscard]] static PyErr lazy(ErrBuilder builder);
  // Lazy, but with its type and value made already (new references).
  [[nodiscard]] static PyErr lazy_made(PyObject* type, PyObject* value);
  // Takes over the three references; value and traceback may be NULL.
  [[nodiscard]] static PyErr raw(PyObject* type, PyObject* value, PyObject* traceback);
  [[nodiscard]] static PyErr normalized(PyObject* type, PyObject* value, PyObject* traceback);
  [[nodiscard]] static PyErr normalizing();
  // Normalized, with an instance that the frame made itself.
  [[nodiscard]] static PyErr made_instance(PyObject* type, PyObject* value);

  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;

  [[nodiscard]] Tag tag() const noexcept { return state_->tag; }
  [[nodiscard]] bool is_lazy() const noexcept { return tag() == Tag::lazy; }
  [[nodiscard]] bool is_raw() const noexcept { return tag() == Tag::raw; }
  [[nodiscard]] bool is_normalized() const noexcept { return tag() == Tag::normalized; }
  [[nodiscard]] bool is_normalizing() const noexcept { return tag() == Tag::normalizing; }
  [[nodiscard]] ErrState& state() noexcept { return *state_; }

 private:
  struct Drop {
    void operator()(ErrState* state) const noexcept;
  };
  [[nodiscard]] static std::unique_ptr<ErrState, Drop> make_state(Tag tag);
  explicit PyErr(std::unique_ptr<ErrState, Drop> state) noexcept : state_(std::move(state)) {}
  std::unique_ptr<ErrState, Drop> state_;
};

}  // namespace krenn
