// Buffers: std::span<const T> parameters (T arithmetic or std::byte) view any
// object with the buffer protocol whose items are T's, one-dimensional and
// C-contiguous. The buffer is held for the call and released after it, with
// the GIL, on every path; while it is held the exporter refuses to resize it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>

#include "krenn/converter.hpp"
#include "krenn/pool.hpp"

namespace krenn {

namespace detail {

// The struct-module codes that native items of a type may carry, with their
// size; std::byte and the char types take any one-byte code.
struct ItemFormat {
  std::string_view codes;
  std::size_t size;
  std::string_view cpp_name;  // for errors
};

template <typename T>
consteval ItemFormat item_format() {
  using U = std::remove_cv_t<T>;
  constexpr std::size_t size = sizeof(U);
  if constexpr (std::is_same_v<U, std::byte> || std::is_same_v<U, char> ||
                std::is_same_v<U, signed char> || std::is_same_v<U, unsigned char>)
    return {"Bbc", 1, "bytes"};
  else if constexpr (std::is_same_v<U, bool>)
    return {"?", size, "bool"};
  else if constexpr (std::is_same_v<U, float>)
    return {"f", size, "float"};
  else if constexpr (std::is_same_v<U, double>)
    return {"d", size, "double"};
  else if constexpr (std::is_signed_v<U>)
    return {"hilqn", size, "signed integers"};
  else
    return {"HILQN", size, "unsigned integers"};
}

template <typename T>
concept BufferItem = std::is_same_v<std::remove_cv_t<T>, std::byte> ||
    (std::is_arithmetic_v<T> && !std::is_same_v<std::remove_cv_t<T>, long double>);

// Checks a buffer held in view: one dimension, C-contiguous, items of the
// format. The error names the argument.
[[nodiscard]] Result<void> check_buffer(const Py_buffer& view, std::string_view name,
                                        const ItemFormat& format);
// A memoryview of obj that the call's pool holds, and releases after the
// call; its buffer checked as above. NULL with the error in err otherwise.
[[nodiscard]] Result<const Py_buffer*> pooled_buffer(PyObject* obj, std::string_view name,
                                                     const ItemFormat* format);

inline constexpr std::string_view buffer_name =
#if PY_VERSION_HEX >= 0x030C0000
    "collections.abc.Buffer";
#else
    "bytes | bytearray | memoryview";
#endif

}  // namespace detail

template <detail::BufferItem T>
struct Converter<std::span<const T>> {
  static constexpr std::string_view python_name = detail::buffer_name;
  static constexpr detail::ItemFormat format = detail::item_format<T>();

  // bytes is immutable and lent for the call: viewed without taking its buffer.
  [[nodiscard]] static bool exact(PyObject* obj, std::span<const T>& out) noexcept {
    if constexpr (format.size == 1 && !std::is_same_v<std::remove_cv_t<T>, bool>) {
      if (PyBytes_CheckExact(obj)) {
        out = {reinterpret_cast<const T*>(PyBytes_AS_STRING(obj)),
               static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
        return true;
      }
    }
    return false;
  }
  [[nodiscard]] static Result<std::span<const T>> convert(PyObject* obj, std::string_view name) {
    Result<const Py_buffer*> view = detail::pooled_buffer(obj, name, &format);
    if (!view) [[unlikely]]
      return failure(std::move(view.error()));
    return std::span<const T>(static_cast<const T*>((*view)->buf),
                              static_cast<std::size_t>((*view)->len) / sizeof(T));
  }
};

}  // namespace krenn
