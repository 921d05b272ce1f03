// The states of an error value and the lazy builder behind its Lazy state.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "krenn/pool.hpp"

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
  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] PyObject* object() const noexcept { return object_; }

  struct Built {
    PyObject* type;                 // new reference
    PyObject* value;                // new reference
    PyObject* traceback = nullptr;  // new reference or NULL
    // An error of Python code that took the place of the one to be built.
    bool fetched = false;
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
  // Raised by Python code and fetched: restored as it was, never chained.
  bool fetched = false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  std::optional<ErrBuilder> builder;  // Lazy only
};

// The error value: one pointer, so results that carry it stay small, and every
// operation on its state is an out-of-line call. The frame's own errors are
// held as one object, tagged in the low bits, and take a state only if someone
// asks for one: a TypeError whose str is made with it (Lazy), or an exception
// instance that the frame made (Normalized). Dropping an error in any
// state releases what it owns (through release_ref, so that works without the
// GIL too).
class [[nodiscard]] PyErr {
 public:
  using Tag = ErrState::Tag;

  // Each allocates the state; std::bad_alloc when that fails.
  [[nodiscard]] static PyErr lazy(ErrBuilder builder);
  // Takes over the three references; value and traceback may be NULL.
  [[nodiscard]] static PyErr raw(PyObject* type, PyObject* value, PyObject* traceback);
  [[nodiscard]] static PyErr normalized(PyObject* type, PyObject* value, PyObject* traceback);
  [[nodiscard]] static PyErr normalizing();
  // A lazy TypeError whose value is this str (a new reference); no state.
  [[nodiscard]] static PyErr type_error_with(PyObject* str) noexcept {
    return PyErr(reinterpret_cast<std::uintptr_t>(str) | str_bit);
  }
  // A Normalized error of this instance, which the frame made (a new
  // reference); no state.
  [[nodiscard]] static PyErr made_instance(PyObject* instance) noexcept {
    return PyErr(reinterpret_cast<std::uintptr_t>(instance) | instance_bit);
  }

  PyErr(PyErr&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
  PyErr& operator=(PyErr&& other) noexcept {
    PyErr old(std::move(*this));
    bits_ = std::exchange(other.bits_, 0);
    return *this;
  }
  PyErr(const PyErr&) = delete;
  PyErr& operator=(const PyErr&) = delete;
  ~PyErr() {
    if (bits_) drop(bits_);
  }

  [[nodiscard]] Tag tag() const noexcept {
    if (bits_ & str_bit) return Tag::lazy;
    if (bits_ & instance_bit) return Tag::normalized;
    return held()->tag;
  }
  [[nodiscard]] bool is_lazy() const noexcept { return tag() == Tag::lazy; }
  [[nodiscard]] bool is_raw() const noexcept { return tag() == Tag::raw; }
  [[nodiscard]] bool is_normalized() const noexcept { return tag() == Tag::normalized; }
  [[nodiscard]] bool is_normalizing() const noexcept { return tag() == Tag::normalizing; }
  // The state; a TypeError held as its str takes one first.
  [[nodiscard]] ErrState& state() {
    if (compact()) [[unlikely]]
      expand();
    return *held();
  }
  [[nodiscard]] bool held_as_str() const noexcept { return bits_ & str_bit; }
  // The str of a TypeError held as its str, handed over; NULL otherwise.
  [[nodiscard]] PyObject* take_type_error_str() noexcept { return take_compact(str_bit); }
  // The instance of an error held as the instance, handed over; NULL otherwise.
  [[nodiscard]] PyObject* take_made_instance() noexcept { return take_compact(instance_bit); }

 private:
  struct Drop {
    void operator()(ErrState* state) const noexcept;
  };
  static constexpr std::uintptr_t str_bit = 1;
  static constexpr std::uintptr_t instance_bit = 2;
  static constexpr std::uintptr_t tag_bits = str_bit | instance_bit;
  explicit PyErr(std::uintptr_t bits) noexcept : bits_(bits) {}
  [[nodiscard]] PyObject* take_compact(std::uintptr_t bit) noexcept {
    if (!(bits_ & bit)) return nullptr;
    return reinterpret_cast<PyObject*>(std::exchange(bits_, 0) & ~tag_bits);
  }
  explicit PyErr(std::unique_ptr<ErrState, Drop> state) noexcept
      : bits_(reinterpret_cast<std::uintptr_t>(state.release())) {}
  [[nodiscard]] static std::unique_ptr<ErrState, Drop> make_state(Tag tag);
  [[nodiscard]] bool compact() const noexcept { return bits_ & tag_bits; }
  [[nodiscard]] ErrState* held() const noexcept { return reinterpret_cast<ErrState*>(bits_); }
  void expand();
  static void drop(std::uintptr_t bits) noexcept;
  std::uintptr_t bits_;
};

}  // namespace krenn
