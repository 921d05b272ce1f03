// std::variant of converted types, both ways. A parameter is the first
// alternative that takes the object exactly, else the first that converts it
// at all; a result is its held alternative's. std::monostate is None.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "krenn/converter.hpp"
#include "krenn/elements.hpp"

namespace krenn {

template <>
struct Converter<std::monostate> {
  static constexpr std::string_view python_name = "None";

  [[nodiscard]] static bool exact(PyObject* obj, std::monostate&) noexcept {
    return obj == Py_None;
  }
  [[nodiscard]] static Result<std::monostate> convert(PyObject* obj, std::string_view name) {
    if (obj == Py_None) return std::monostate();
    return failure(detail::wrong_type(obj, name, "None"));
  }
  [[nodiscard]] static Result<PyObject*> to_python(std::monostate) noexcept {
    return Py_NewRef(Py_None);
  }
};

namespace detail {

// Whether an alternative's refusal lets the next one try: a TypeError,
// ValueError or OverflowError; anything else (an interrupt, MemoryError, an
// error of Python code) is the caller's.
[[nodiscard, gnu::cold]] bool is_refusal(PyErr& err);

}  // namespace detail

template <typename... Ts>
struct Converter<std::variant<Ts...>> {
  using V = std::variant<Ts...>;
  static constexpr std::string_view python_name =
      detail::names_of<detail::Separator::bar, false, Ts...>;
  static constexpr std::string_view result_name =
      detail::names_of<detail::Separator::bar, true, Ts...>;

  [[nodiscard]] static bool exact(PyObject* obj, V& out) noexcept {
    return detail::declining_on_bad_alloc([&] { return exact_alternative(obj, out); });
  }
  [[nodiscard]] static bool exact_alternative(PyObject* obj, V& out) {
    auto one = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
      using T = std::variant_alternative_t<I, V>;
      std::optional<T> value = detail::exact_value<T>(obj);
      if (!value) return false;
      out.template emplace<I>(std::move(*value));
      return true;
    };
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (one(std::integral_constant<std::size_t, I>()) || ...);
    }
    (std::index_sequence_for<Ts...>());
  }

  [[nodiscard]] static Result<V> convert(PyObject* obj, std::string_view name) {
    if (V value; exact(obj, value)) return value;
    std::optional<V> out;
    std::optional<PyErr> err;
    auto one = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
      using T = std::variant_alternative_t<I, V>;
      Result<T> value = detail::convert_element<T>(obj, name);
      if (value) {
        out.emplace(std::in_place_index<I>, std::move(*value));
        return true;
      }
      if (detail::is_refusal(value.error())) return false;
      err = std::move(value.error());
      return true;
    };
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (one(std::integral_constant<std::size_t, I>()) || ...);
    }
    (std::index_sequence_for<Ts...>());
    if (out) return std::move(*out);
    if (err) return failure(std::move(*err));
    return failure(detail::wrong_type(obj, name, python_name));
  }

  [[nodiscard]] static Result<PyObject*> to_python(const V& value) {
    Result<PyObject*> out = nullptr;
    auto one = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
      using T = std::variant_alternative_t<I, V>;
      if (const T* held = std::get_if<I>(&value)) {
        out = Converter<T>::to_python(*held);
        return true;
      }
      return false;
    };
    bool held = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (one(std::integral_constant<std::size_t, I>()) || ...);
    }
    (std::index_sequence_for<Ts...>());
    if (!held) [[unlikely]]
      return failure(new_system_error("valueless variant"));
    return out;
  }
};

}  // namespace krenn
