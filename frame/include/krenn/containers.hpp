// Sequences and sets of converted values, both ways. std::vector, std::array,
// std::list and std::deque take any sequence but str, bytes and bytearray
// (lists and tuples inline) and give a list; std::set and std::unordered_set
// take any iterable and give a set. An element's error names its place:
// "argument 'xs': item 2: 'str' object cannot be interpreted as an integer".
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <deque>
#include <iterator>
#include <list>
#include <set>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "krenn/converter.hpp"
#include "krenn/elements.hpp"

namespace krenn {

namespace detail {

template <typename C>
inline constexpr bool is_std_array = false;
template <typename T, std::size_t N>
inline constexpr bool is_std_array<std::array<T, N>> = true;

// Items read as plain values by a vector's assign(), which sizes the storage
// once and writes each value in place: no zeroing, no capacity checks. An
// item that does not convert exactly reads as a zero and clears ok.
template <typename T>
struct ExactItems {
  using iterator_category = std::random_access_iterator_tag;
  using value_type = T;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = T;

  PyObject* const* at;
  bool* ok;

  T operator*() const {
    T value;
    if (!exact_element<T>(*at, value)) [[unlikely]] {
      *ok = false;
      return T();
    }
    return value;
  }
  ExactItems& operator++() {
    ++at;
    return *this;
  }
  ExactItems& operator--() {
    --at;
    return *this;
  }
  ExactItems& operator+=(difference_type n) {
    at += n;
    return *this;
  }
  difference_type operator-(const ExactItems& other) const { return at - other.at; }
  bool operator==(const ExactItems& other) const { return at == other.at; }
};

// C: std::vector, std::array, std::list or std::deque of T.
template <typename C, typename T = typename C::value_type>
struct SequenceConverter {
  static constexpr std::string_view python_name = joined<[] {
    return std::array<std::string_view, 3>{"collections.abc.Sequence[", Converter<T>::python_name,
                                           "]"};
  }>;
  static constexpr std::string_view result_name = joined<[] {
    return std::array<std::string_view, 3>{"list[", result_name_for<T>(), "]"};
  }>;

  // Exact lists and tuples whose items all convert exactly, read in place:
  // nothing there runs Python code.
  [[nodiscard]] static bool exact(PyObject* obj, C& out) noexcept {
    return declining_on_bad_alloc([&] { return exact_items(obj, out); });
  }
  [[nodiscard]] static bool exact_items(PyObject* obj, C& out) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    PyObject* const* items = PySequence_Fast_ITEMS(obj);
    if constexpr (is_std_array<C>) {
      if (n != static_cast<Py_ssize_t>(std::tuple_size_v<C>)) return false;
      for (std::size_t i = 0; i < out.size(); ++i)
        if (!exact_element<T>(items[i], out[i])) return false;
      return true;
    } else if constexpr (std::is_same_v<C, std::vector<T>> && std::is_arithmetic_v<T> &&
                         !std::is_same_v<T, bool>) {
      bool ok = true;
      out.assign(ExactItems<T>{items, &ok}, ExactItems<T>{items + n, &ok});
      return ok;
    } else {
      if constexpr (requires { out.reserve(0); }) out.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        // Plain values go by register, not through a zeroed slot.
        if constexpr (std::is_trivially_default_constructible_v<T>) {
          T value;
          if (!exact_element<T>(items[i], value)) return false;
          out.push_back(value);
        } else if constexpr (has_holder<T>) {
          std::optional<T> value = exact_value<T>(items[i]);
          if (!value) return false;
          out.push_back(std::move(*value));
        } else {
          if (!exact_element<T>(items[i], out.emplace_back())) return false;
        }
      }
      return true;
    }
  }

  [[nodiscard]] static Result<C> convert(PyObject* obj, std::string_view name) {
    Result<Owned> seq = sequence_items(obj, name);
    if (!seq) [[unlikely]]
      return failure(std::move(seq.error()));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq->get());
    C out{};
    if constexpr (is_std_array<C>) {
      constexpr std::size_t size = std::tuple_size_v<C>;
      if (n != static_cast<Py_ssize_t>(size)) [[unlikely]]
        return failure(wrong_length(name, size, n));
      Py_ssize_t seen = 0;
      Result<void> done = convert_items<T>(seq->get(), name, [&](Py_ssize_t i, T&& value) {
        if (i < static_cast<Py_ssize_t>(size)) out[static_cast<std::size_t>(i)] = std::move(value);
        seen = i + 1;
      });
      if (!done) [[unlikely]]
        return failure(std::move(done.error()));
      // The conversions changed the list's size.
      if (seen != static_cast<Py_ssize_t>(size)) [[unlikely]]
        return failure(wrong_length(name, size, seen));
    } else {
      if constexpr (requires { out.reserve(0); }) out.reserve(static_cast<std::size_t>(n));
      Result<void> done = convert_items<T>(
          seq->get(), name, [&](Py_ssize_t, T&& value) { out.push_back(std::move(value)); });
      if (!done) [[unlikely]]
        return failure(std::move(done.error()));
    }
    return out;
  }

  [[nodiscard]] static Result<PyObject*> to_python(const C& value) {
    return fill_items(PyList_New(static_cast<Py_ssize_t>(value.size())), value);
  }
};

// C: std::set or std::unordered_set of T.
template <typename C, typename T = typename C::value_type>
struct SetConverter {
  static constexpr std::string_view python_name = joined<[] {
    return std::array<std::string_view, 3>{"collections.abc.Iterable[", Converter<T>::python_name,
                                           "]"};
  }>;
  static constexpr std::string_view result_name = joined<[] {
    return std::array<std::string_view, 3>{"set[", result_name_for<T>(), "]"};
  }>;

  // Walking a set takes an iterator object: every set goes the general way.
  [[nodiscard]] static bool exact(PyObject*, C&) noexcept { return false; }

  [[nodiscard]] static Result<C> convert(PyObject* obj, std::string_view name) {
    Result<Owned> iterator = iterate(obj, name);
    if (!iterator) [[unlikely]]
      return failure(std::move(iterator.error()));
    C out{};
    for (Py_ssize_t i = 0;; ++i) {
      Result<Owned> item = next_item(iterator->get());
      if (!item) [[unlikely]]
        return failure(std::move(item.error()));
      if (!*item) break;
      Result<T> value = convert_element<T>(item->get(), name);
      if (!value) [[unlikely]]
        return failure(at_item(name, std::move(value.error()), i));
      out.insert(std::move(*value));
    }
    return out;
  }

  [[nodiscard]] static Result<PyObject*> to_python(const C& value) {
    PyObject* set = PySet_New(nullptr);
    if (!set) [[unlikely]]
      return result_failed();
    for (const T& element : value) {
      Result<PyObject*> item = Converter<T>::to_python(element);
      if (!item) [[unlikely]] {
        Py_DECREF(set);
        return item;
      }
      int added = PySet_Add(set, *item);
      Py_DECREF(*item);
      if (added != 0) [[unlikely]] {
        std::unexpected<PyErr> err = result_failed();
        Py_DECREF(set);
        return err;
      }
    }
    return set;
  }
};

}  // namespace detail

template <typename T, typename A>
struct Converter<std::vector<T, A>> : detail::SequenceConverter<std::vector<T, A>> {};
template <typename T, std::size_t N>
struct Converter<std::array<T, N>> : detail::SequenceConverter<std::array<T, N>> {};
template <typename T, typename A>
struct Converter<std::list<T, A>> : detail::SequenceConverter<std::list<T, A>> {};
template <typename T, typename A>
struct Converter<std::deque<T, A>> : detail::SequenceConverter<std::deque<T, A>> {};
template <typename T, typename C, typename A>
struct Converter<std::set<T, C, A>> : detail::SetConverter<std::set<T, C, A>> {};
template <typename T, typename H, typename E, typename A>
struct Converter<std::unordered_set<T, H, E, A>>
    : detail::SetConverter<std::unordered_set<T, H, E, A>> {};

}  // namespace krenn
