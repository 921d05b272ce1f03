// std::optional<T>, both ways: None (or, for a parameter, leaving it out) is
// the empty value.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "krenn/converter.hpp"
#include "krenn/elements.hpp"

namespace krenn {

namespace detail {

template <const std::string_view& name>
inline constexpr auto or_none = [] {
  constexpr std::string_view tail = " | None";
  std::array<char, name.size() + tail.size()> out{};
  for (std::size_t i = 0; i < name.size(); ++i) out[i] = name[i];
  for (std::size_t i = 0; i < tail.size(); ++i) out[name.size() + i] = tail[i];
  return out;
}();

}  // namespace detail

template <typename T>
struct Converter<std::optional<T>> {
  static constexpr std::string_view python_name{detail::or_none<Converter<T>::python_name>.data(),
                                                detail::or_none<Converter<T>::python_name>.size()};

  static constexpr bool may_be_empty = detail::result_may_be_empty<T>;

  [[nodiscard]] static bool exact(PyObject* obj, std::optional<T>& out) noexcept(
      noexcept(Converter<T>::exact(obj, std::declval<T&>()))) requires(!NamedExact<T> &&
                                                                       !detail::has_holder<T>) {
    // As convert() reads it, also for a T that would take None itself.
    if (obj == Py_None) {
      out.reset();
      return true;
    }
    T value;
    if (!Converter<T>::exact(obj, value)) return false;
    out = std::move(value);
    return true;
  }
  [[nodiscard]] static bool exact(PyObject* obj, std::optional<T>& out,
                                  std::string_view name) noexcept requires NamedExact<T> {
    if (obj == Py_None) {
      out.reset();
      return true;
    }
    T value;
    if (!Converter<T>::exact(obj, value, name)) return false;
    out = std::move(value);
    return true;
  }
  // A T made through a holder (a std::function) is made here, as an element
  // is; a T whose value lives in its holder (a buffer's view) cannot be one.
  [[nodiscard]] static bool exact(PyObject* obj,
                                  std::optional<T>& out) requires detail::has_holder<T> {
    static_assert(Converter<T>::value_outlives_holder,
                  "std::optional of a view that lives only for the call's conversion");
    if (obj == Py_None) {
      out.reset();
      return true;
    }
    out = detail::exact_value<T>(obj);
    return out.has_value();
  }
  [[nodiscard]] static Result<std::optional<T>> convert(PyObject* obj, std::string_view name) {
    if (!obj || obj == Py_None) return std::optional<T>();
    Result<T> value = [&] {
      if constexpr (detail::has_holder<T>)
        return detail::convert_element<T>(obj, name);
      else
        return Converter<T>::convert(obj, name);
    }();
    if (!value) return failure(std::move(value.error()));
    return std::optional<T>(std::move(*value));
  }
  [[nodiscard]] static Result<PyObject*> to_python(std::optional<T> value) {
    if (!value) return Py_NewRef(Py_None);
    return Converter<T>::to_python(std::move(*value));
  }
};

}  // namespace krenn
