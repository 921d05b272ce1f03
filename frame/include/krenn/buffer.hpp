// Buffers: std::span<const T> parameters (T arithmetic or std::byte) view any
// object with the buffer protocol whose items are T's, one-dimensional and
// C-contiguous. The buffer is held for the call and released after the body
// has returned, with the GIL, on every path; while it is held the exporter
// refuses to resize it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>

#include "krenn/converter.hpp"

namespace krenn {

namespace detail {

// The struct-module codes that native items of a type may carry, and their
// size. std::byte and the char types take any one-byte code.
struct ItemFormat {
  std::string_view codes;
  std::size_t size;
  std::string_view cpp_name;  // for errors
};

template <typename T>
consteval ItemFormat item_format() {
  constexpr std::size_t size = sizeof(T);
  if constexpr (std::is_same_v<T, std::byte> || std::is_same_v<T, char> ||
                std::is_same_v<T, signed char> || std::is_same_v<T, unsigned char>)
    return {"Bbc", 1, "bytes"};
  else if constexpr (std::is_same_v<T, bool>)
    return {"?", size, "bool"};
  else if constexpr (std::is_same_v<T, float>)
    return {"f", size, "float"};
  else if constexpr (std::is_same_v<T, double>)
    return {"d", size, "double"};
  else if constexpr (std::is_signed_v<T>)
    return {"hilqn", size, "signed integers"};
  else
    return {"HILQN", size, "unsigned integers"};
}

template <typename T>
concept BufferItem = std::is_same_v<T, std::byte> ||
    (std::is_arithmetic_v<T> && !std::is_same_v<T, long double>);

// A buffer held for one call, released when it goes (with the GIL).
class HeldBuffer {
 public:
  HeldBuffer() noexcept { buffer_.obj = nullptr; }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (buffer_.obj) PyBuffer_Release(&buffer_);
  }

  // The exporter's buffer, or nothing (an error pending) when it has none.
  [[nodiscard]] bool take(PyObject* obj, int flags) noexcept {
    return PyObject_GetBuffer(obj, &buffer_, flags) == 0;
  }
  // Lent by an object that outlives the call: nothing to release.
  void lend(const void* data, std::size_t size) noexcept {
    data_ = data;
    size_ = size;
  }
  // The held buffer as what is lent.
  void lend_held() noexcept { lend(buffer_.buf, static_cast<std::size_t>(buffer_.len)); }
  void release() noexcept {
    PyBuffer_Release(&buffer_);  // leaves obj NULL
  }

  [[nodiscard]] const Py_buffer& buffer() const noexcept { return buffer_; }
  [[nodiscard]] const void* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  Py_buffer buffer_;
  const void* data_ = nullptr;
  std::size_t size_ = 0;
};

// Whether a held buffer is one-dimensional, C-contiguous and of the format.
[[nodiscard]] inline bool buffer_fits(const Py_buffer& view, const ItemFormat& format) noexcept {
  const char* code = view.format ? view.format : "B";
  if (code[0] == '@') ++code;
  return code[0] && !code[1] && format.codes.find(code[0]) != std::string_view::npos &&
         static_cast<std::size_t>(view.itemsize) == format.size && view.ndim == 1 &&
         (!view.strides || view.strides[0] == view.itemsize || view.len <= view.itemsize);
}

// Takes obj's buffer into held, checked as above (format NULL: any
// C-contiguous buffer). The error names the argument; nothing is held then.
[[nodiscard]] Result<void> take_buffer(PyObject* obj, std::string_view name,
                                       const ItemFormat* format, HeldBuffer& held);

inline constexpr std::string_view buffer_name =
#if PY_VERSION_HEX >= 0x030C0000
    "collections.abc.Buffer";
#else
    "bytes | bytearray | memoryview";
#endif

}  // namespace detail

template <typename T>
requires detail::BufferItem<T>
struct Converter<std::span<const T>> {
  static constexpr std::string_view python_name = detail::buffer_name;
  static constexpr detail::ItemFormat format = detail::item_format<T>();
  using Holder = detail::HeldBuffer;

  // bytes is immutable and lent for the call: viewed without taking its
  // buffer. Others are taken here when they fit, and left to convert() to
  // explain when they do not.
  [[nodiscard]] static bool exact(PyObject* obj, Holder& held) noexcept {
    if constexpr (format.size == 1 && !std::is_same_v<T, bool>) {
      if (PyBytes_CheckExact(obj)) {
        held.lend(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
        return true;
      }
    }
    // Exporters of the interpreter's own or of C types only: a class's
    // __buffer__ runs Python code, whose errors convert() must see.
    PyTypeObject* type = Py_TYPE(obj);
    if (!type->tp_as_buffer || !type->tp_as_buffer->bf_getbuffer ||
        (type->tp_flags & Py_TPFLAGS_HEAPTYPE))
      return false;
    if (!held.take(obj, PyBUF_RECORDS_RO)) [[unlikely]] {
      PyErr_Clear();
      return false;
    }
    if (!detail::buffer_fits(held.buffer(), format)) [[unlikely]] {
      held.release();
      return false;
    }
    held.lend_held();
    return true;
  }
  [[nodiscard]] static Result<void> convert(PyObject* obj, std::string_view name, Holder& held) {
    return detail::take_buffer(obj, name, &format, held);
  }
  [[nodiscard]] static std::span<const T> get(Holder& held) noexcept {
    return {static_cast<const T*>(held.data()), held.size() / sizeof(T)};
  }
};

}  // namespace krenn
