// std::pair and std::tuple of converted values, both ways: a parameter takes
// a tuple, or any sequence but str, bytes and bytearray, of that length; a
// result is a tuple.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "krenn/converter.hpp"
#include "krenn/elements.hpp"

namespace krenn {

namespace detail {

template <typename C, typename... Ts>
struct TupleConverter {
  static constexpr std::size_t size = sizeof...(Ts);
  static constexpr std::string_view python_name = joined<[] {
    return std::array<std::string_view, 3>{"tuple[", names_of<Separator::comma, false, Ts...>, "]"};
  }>;
  static constexpr std::string_view result_name = joined<[] {
    return std::array<std::string_view, 3>{"tuple[", names_of<Separator::comma, true, Ts...>, "]"};
  }>;

  [[nodiscard]] static bool exact(PyObject* obj, C& out) noexcept {
    if (!PyTuple_CheckExact(obj) && !PyList_CheckExact(obj)) return false;
    if (PySequence_Fast_GET_SIZE(obj) != static_cast<Py_ssize_t>(size)) return false;
    PyObject* const* items = PySequence_Fast_ITEMS(obj);
    auto each = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (exact_element<Ts>(items[I], std::get<I>(out)) && ...);
    };
    return declining_on_bad_alloc(each, std::index_sequence_for<Ts...>());
  }

  [[nodiscard]] static Result<C> convert(PyObject* obj, std::string_view name) {
    Result<Owned> seq = sequence_items(obj, name);
    if (!seq) [[unlikely]]
      return failure(std::move(seq.error()));
    std::tuple<std::optional<Ts>...> parts;
    std::optional<PyErr> err;
    auto one = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
      using T = std::tuple_element_t<I, std::tuple<Ts...>>;
      // Read again for each item: a conversion may have changed a list's size.
      const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq->get());
      if (n != static_cast<Py_ssize_t>(size)) [[unlikely]] {
        err = wrong_length(name, size, n);
        return false;
      }
      Owned item = Owned::borrow(PySequence_Fast_GET_ITEM(seq->get(), I));
      Result<T> value = convert_element<T>(item.get(), name);
      if (!value) [[unlikely]] {
        err = at_item(name, std::move(value.error()), I);
        return false;
      }
      std::get<I>(parts).emplace(std::move(*value));
      return true;
    };
    bool done = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (one(std::integral_constant<std::size_t, I>()) && ...);
    }
    (std::index_sequence_for<Ts...>());
    if (!done) [[unlikely]]
      return failure(std::move(*err));
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return C(std::move(*std::get<I>(parts))...);
    }
    (std::index_sequence_for<Ts...>());
  }

  [[nodiscard]] static Result<PyObject*> to_python(const C& value) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(size));
    if (!tuple) [[unlikely]]
      return result_failed();
    std::optional<PyErr> err;
    auto one = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
      using T = std::tuple_element_t<I, std::tuple<Ts...>>;
      Result<PyObject*> item = Converter<T>::to_python(std::get<I>(value));
      if (!item) [[unlikely]] {
        err = std::move(item.error());
        return false;
      }
      PyTuple_SET_ITEM(tuple, I, *item);
      return true;
    };
    bool done = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (one(std::integral_constant<std::size_t, I>()) && ...);
    }
    (std::index_sequence_for<Ts...>());
    if (!done) [[unlikely]] {
      Py_DECREF(tuple);
      return failure(std::move(*err));
    }
    return tuple;
  }
};

}  // namespace detail

template <typename A, typename B>
struct Converter<std::pair<A, B>> : detail::TupleConverter<std::pair<A, B>, A, B> {};
template <typename... Ts>
struct Converter<std::tuple<Ts...>> : detail::TupleConverter<std::tuple<Ts...>, Ts...> {};

}  // namespace krenn
