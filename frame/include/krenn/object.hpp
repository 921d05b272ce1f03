// Python objects in C++ types: Handle borrows, Object owns one reference.
#pragma once

#include <Python.h>

#include <utility>

#include "krenn/pool.hpp"

namespace krenn {

// A borrowed reference: valid while whoever lent it keeps the object, which
// for a parameter is the whole call.
class Handle {
 public:
  constexpr Handle() noexcept = default;
  constexpr explicit Handle(PyObject* obj) noexcept : obj_(obj) {}
  [[nodiscard]] constexpr PyObject* get() const noexcept { return obj_; }
  constexpr explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// One owned reference: move-only, released once, through release_ref so that
// dropping it without the GIL is safe (the release waits for the next entry).
class Object {
 public:
  constexpr Object() noexcept = default;
  // Takes over a new reference.
  [[nodiscard]] static Object steal(PyObject* obj) noexcept { return Object(obj); }
  // Takes a reference of its own.
  [[nodiscard]] static Object borrow(PyObject* obj) noexcept { return Object(Py_NewRef(obj)); }
  Object(Owned owned) noexcept : obj_(owned.release()) {}  // NOLINT: the same ownership
  Object(Object&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Object& operator=(Object&& other) noexcept {
    Object old(std::move(*this));
    obj_ = std::exchange(other.obj_, nullptr);
    return *this;
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  ~Object() {
    if (obj_) release_ref(obj_);
  }

  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  [[nodiscard]] Handle handle() const noexcept { return Handle(obj_); }
  // Hands the reference over; the Object is empty after.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Object(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace krenn
