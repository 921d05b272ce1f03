// std::filesystem::path, both ways. A parameter takes a str, bytes or an
// os.PathLike, as os.fspath does, in the file system's encoding; a path with
// a NUL in it is the interpreter's ValueError. A result is a pathlib.Path.
#pragma once

#include <Python.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <string_view>

#include "krenn/converter.hpp"
#include "krenn/str.hpp"

namespace krenn {

namespace detail {

[[nodiscard]] Result<std::filesystem::path> argument_to_path(PyObject* obj, std::string_view name);
[[nodiscard]] Result<PyObject*> path_to_python(const std::filesystem::path& value);

}  // namespace detail

template <>
struct Converter<std::filesystem::path> {
  static_assert(std::is_same_v<std::filesystem::path::value_type, char>,
                "paths are converted as bytes in the file system's encoding");
  static constexpr std::string_view python_name = "str | os.PathLike[str]";
  static constexpr std::string_view result_name = "pathlib.Path";

  // ASCII is the same in every file system encoding.
  [[nodiscard]] static bool exact(PyObject* obj, std::filesystem::path& out) noexcept {
    std::string_view text;
    if (!detail::exact_ascii(obj, text) || std::memchr(text.data(), 0, text.size())) return false;
    try {
      out = std::filesystem::path(text);
    } catch (const std::bad_alloc&) {
      return false;  // the general way raises MemoryError
    }
    return true;
  }
  [[nodiscard]] static Result<std::filesystem::path> convert(PyObject* obj, std::string_view name) {
    return detail::argument_to_path(obj, name);
  }
  [[nodiscard]] static Result<PyObject*> to_python(const std::filesystem::path& value) {
    return detail::path_to_python(value);
  }
};

}  // namespace krenn
