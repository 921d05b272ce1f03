// bytes, both ways, as krenn::Bytes: a read-only view of bytes. A parameter
// borrows the buffer of a bytes object (subclasses too), a bytearray or a
// C-contiguous memoryview for the call; the latter two stay exported, and so
// cannot be resized, until the call has returned. A result is
// copied into a new bytes object after the body has returned, so it must view
// memory that outlives the body: static data or storage the module keeps,
// never a local buffer (return an Object made with PyBytes_FromStringAndSize
// for those).
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "krenn/buffer.hpp"
#include "krenn/converter.hpp"

namespace krenn {

class Bytes {
 public:
  constexpr Bytes() noexcept = default;
  constexpr explicit Bytes(std::string_view data) noexcept : data_(data) {}
  explicit Bytes(std::span<const std::byte> data) noexcept
      : data_(reinterpret_cast<const char*>(data.data()), data.size()) {}

  [[nodiscard]] constexpr std::string_view view() const noexcept { return data_; }
  [[nodiscard]] std::span<const std::byte> span() const noexcept {
    return {reinterpret_cast<const std::byte*>(data_.data()), data_.size()};
  }
  [[nodiscard]] constexpr const char* data() const noexcept { return data_.data(); }
  [[nodiscard]] constexpr std::size_t size() const noexcept { return data_.size(); }
  [[nodiscard]] constexpr bool empty() const noexcept { return data_.empty(); }

 private:
  std::string_view data_;
};

namespace detail {

[[nodiscard]] Result<void> argument_to_bytes(PyObject* obj, std::string_view name,
                                             HeldBuffer& held);

}  // namespace detail

template <>
struct Converter<Bytes> {
  static constexpr std::string_view python_name = "bytes | bytearray | memoryview";
  static constexpr std::string_view result_name = "bytes";
  using Holder = detail::HeldBuffer;

  [[nodiscard]] static bool exact(PyObject* obj, Holder& held) noexcept {
    if (!PyBytes_CheckExact(obj)) return false;
    held.lend(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  [[nodiscard]] static Result<void> convert(PyObject* obj, std::string_view name, Holder& held) {
    return detail::argument_to_bytes(obj, name, held);
  }
  [[nodiscard]] static Bytes get(Holder& held) noexcept {
    return Bytes(std::string_view(static_cast<const char*>(held.data()), held.size()));
  }
  [[nodiscard]] static Result<PyObject*> to_python(Bytes value) {
    PyObject* obj = PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
    if (!obj) [[unlikely]]
      return detail::result_failed();
    return obj;
  }
};

}  // namespace krenn
