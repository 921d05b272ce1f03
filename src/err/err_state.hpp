// The states of an error value and the lazy builders behind its Lazy state.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "gil.hpp"

namespace krenn {

// A constant text kept by reference or an owned one; both read as a view.
using MessageText = std::variant<std::string_view, std::string>;

[[nodiscard]] inline std::string_view message_view(const MessageText& text) noexcept {
  return std::visit([](const auto& t) { return std::string_view(t); }, text);
}

namespace builders {

// SystemError, ValueError, ImportError with a constant message. The global is
// read at build time: the interpreter fills it, not the loader.
struct FixedType {
  PyObject* const* type_global;
  std::string_view text;
};
struct OwnedTypeError {
  std::string text;
};
struct WithType {
  Owned type;
  std::string_view text;
};
// Members are destroyed in reverse order: the object goes before None.
struct FromValue {
  Owned none;
  Owned object;
};
struct PanicMessage {
  MessageText text;
};
struct Conversion {
  Owned source_type;
  MessageText target;
};

}  // namespace builders

// One-shot: build() consumes it; destroying an unbuilt one releases what it holds.
// Kept inline in the error rather than behind a heap pointer: every kind is a
// few words, so making an error allocates nothing beyond an owned message.
class ErrBuilder {
 public:
  using Kind = std::variant<builders::FixedType, builders::OwnedTypeError, builders::WithType,
                            builders::FromValue, builders::PanicMessage, builders::Conversion>;

  template <typename K>
  explicit ErrBuilder(K kind) noexcept : kind_(std::move(kind)) {}

  struct Built {
    PyObject* type;   // new reference
    PyObject* value;  // new reference
  };
  [[nodiscard]] Built build() &&;

 private:
  Kind kind_;
};

// Three references owned together, released type first.
class RefTriple {
 public:
  RefTriple(PyObject* type, PyObject* value, PyObject* traceback) noexcept
      : type_(type), value_(value), traceback_(traceback) {}
  RefTriple(RefTriple&& other) noexcept
      : type_(std::exchange(other.type_, nullptr)),
        value_(std::exchange(other.value_, nullptr)),
        traceback_(std::exchange(other.traceback_, nullptr)) {}
  RefTriple& operator=(RefTriple&& other) noexcept {
    RefTriple old(std::move(*this));
    type_ = std::exchange(other.type_, nullptr);
    value_ = std::exchange(other.value_, nullptr);
    traceback_ = std::exchange(other.traceback_, nullptr);
    return *this;
  }
  RefTriple(const RefTriple&) = delete;
  ~RefTriple() {
    if (type_) release_ref(type_);
    if (value_) release_ref(value_);
    if (traceback_) release_ref(traceback_);
  }

  [[nodiscard]] PyObject* type() const noexcept { return type_; }
  [[nodiscard]] PyObject* value() const noexcept { return value_; }
  [[nodiscard]] PyObject* traceback() const noexcept { return traceback_; }

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

// The error value: one pointer to its state on the heap, so results that carry
// it stay small and every operation on the state is an out-of-line call.
// Dropping it in any state releases what it owns (through release_ref, so that
// works without the GIL as well).
class [[nodiscard]] PyErr {
 public:
  struct Lazy {
    ErrBuilder builder;
  };
  struct Raw {
    RefTriple refs;  // exactly what PyErr_Fetch handed over; value/traceback may be NULL
  };
  struct Normalized {
    RefTriple refs;  // type and value never NULL
  };
  struct Normalizing {};
  using State = std::variant<Lazy, Raw, Normalized, Normalizing>;

  // Allocates the state; std::bad_alloc when that fails.
  explicit PyErr(State state);
  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;
  PyErr(const PyErr&) = delete;
  PyErr& operator=(const PyErr&) = delete;

  [[nodiscard]] bool is_lazy() const noexcept { return state_->index() == 0; }
  [[nodiscard]] bool is_raw() const noexcept { return state_->index() == 1; }
  [[nodiscard]] bool is_normalized() const noexcept { return state_->index() == 2; }
  [[nodiscard]] bool is_normalizing() const noexcept { return state_->index() == 3; }

  // Leaves Normalizing behind: the guard against re-entrant normalization.
  [[nodiscard]] State take_state() noexcept;
  void set_state(State state) noexcept;
  [[nodiscard]] const Normalized* normalized() const noexcept {
    return std::get_if<Normalized>(state_.get());
  }

 private:
  struct Drop {
    void operator()(State* state) const noexcept;
  };
  std::unique_ptr<State, Drop> state_;
};

}  // namespace krenn
