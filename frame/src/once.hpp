// Process-wide slots filled once under the GIL.
#pragma once

#include <Python.h>

#include <atomic>
#include <string_view>

namespace krenn {

// Holds one reference for the life of the process. When making the object ran
// Python code that let another caller fill the slot first, the first object wins.
class OnceSlot {
 public:
  [[nodiscard]] PyObject* get() const noexcept { return obj_.load(std::memory_order_acquire); }
  // Takes over a new reference to obj; returns the slot's object.
  PyObject* set_or_release(PyObject* obj);

 private:
  std::atomic<PyObject*> obj_{nullptr};
};

// A constant attribute name and its interned str, made on first use.
class InternedName {
 public:
  constexpr explicit InternedName(std::string_view name) noexcept : name_(name) {}

  // Borrowed from the slot.
  [[nodiscard]] PyObject* get() {
    if (PyObject* obj = slot_.get()) [[likely]]
      return obj;
    return fill();
  }
  [[nodiscard]] std::string_view name() const noexcept { return name_; }

 private:
  PyObject* fill();
  std::string_view name_;
  OnceSlot slot_;
};

}  // namespace krenn
