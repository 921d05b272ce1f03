// What the converters of containers share: type names joined when compiling,
// the general way through a sequence, and an element's place in an error
// ("argument 'xs': item 2: ...").
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <new>
#include <optional>
#include <string_view>

#include "krenn/converter.hpp"
#include "krenn/pool.hpp"

namespace krenn {

namespace detail {

// The concatenation of the views that parts() returns, as one constant.
template <auto parts>
struct Joined {
  static constexpr std::size_t size = [] {
    std::size_t n = 0;
    for (std::string_view part : parts()) n += part.size();
    return n;
  }();
  static constexpr std::array<char, size> text = [] {
    std::array<char, size> out{};
    std::size_t at = 0;
    for (std::string_view part : parts())
      for (char c : part) out[at++] = c;
    return out;
  }();
};
template <auto parts>
inline constexpr std::string_view joined{Joined<parts>::text.data(), Joined<parts>::size};

// A type's name in a stub where it is a result: result_name where the
// converter gives one (list[int] for a parameter's Sequence[int]).
template <typename T>
consteval std::string_view result_name_for() {
  if constexpr (requires { Converter<T>::result_name; })
    return Converter<T>::result_name;
  else
    return Converter<T>::python_name;
}

enum class Separator : bool { comma, bar };

// "A, B" or "A | B" from the names of Ts, as parameters or as results.
template <Separator separator, bool results, typename... Ts>
inline constexpr std::string_view names_of = joined<[] {
  constexpr std::array<std::string_view, sizeof...(Ts)> names{
      (results ? result_name_for<Ts>() : Converter<Ts>::python_name)...};
  std::array<std::string_view, 2 * sizeof...(Ts)> parts{};
  for (std::size_t i = 0; i < names.size(); ++i) {
    parts[2 * i] = i == 0 ? "" : separator == Separator::comma ? ", " : " | ";
    parts[2 * i + 1] = names[i];
  }
  return parts;
}>;

template <typename T>
inline constexpr bool has_holder = requires {
  typename Converter<T>::Holder;
};

// Instantiated with the type, so that the compiler's "required from" lines name it.
template <typename T>
consteval bool not_a_view() {
  static_assert(!NamedExact<T>,
                "a view of a Python container (krenn::Sequence, krenn::Mapping) is a parameter, "
                "not an element: take a std container for the inner level");
  return !NamedExact<T>;
}

// An element's value through its converter, of either form. One that keeps
// per-call storage (a Holder) gives a copy of its value, and the storage ends
// with the element's conversion: a type whose value lives only in its holder
// (a view of a buffer) cannot be an element.
template <typename T>
[[nodiscard]] Result<T> convert_element(PyObject* obj, std::string_view name) {
  static_assert(not_a_view<T>());
  if constexpr (has_holder<T>) {
    typename Converter<T>::Holder holder{};
    Result<void> got = Converter<T>::convert(obj, name, holder);
    if (!got) [[unlikely]]
      return failure(std::move(got.error()));
    return T(Converter<T>::get(holder));
  } else {
    return Converter<T>::convert(obj, name);
  }
}
// An element's exact path, for types that need not be default-constructible;
// a converter with a Holder gives a copy of its value.
template <typename T>
[[nodiscard]] std::optional<T> exact_value(PyObject* obj) {
  static_assert(not_a_view<T>());
  if constexpr (has_holder<T>) {
    if constexpr (requires(typename Converter<T>::Holder & h) { Converter<T>::exact(obj, h); }) {
      typename Converter<T>::Holder holder{};
      if (!Converter<T>::exact(obj, holder)) return std::nullopt;
      return std::optional<T>(std::in_place, Converter<T>::get(holder));
    } else {
      return std::nullopt;
    }
  } else {
    std::optional<T> value(std::in_place);
    if (!Converter<T>::exact(obj, *value)) return std::nullopt;
    return value;
  }
}

// The same into a value of its own.
template <typename T>
[[nodiscard]] bool exact_element(PyObject* obj, T& out) {
  static_assert(not_a_view<T>());
  if constexpr (has_holder<T>) {
    std::optional<T> value = exact_value<T>(obj);
    if (!value) return false;
    out = std::move(*value);
    return true;
  } else {
    return Converter<T>::exact(obj, out);
  }
}

// An exact path that allocates: out of memory, it declines, and the general
// way raises MemoryError.
template <typename Exact, typename... Args>
[[nodiscard, gnu::always_inline]] inline bool declining_on_bad_alloc(Exact exact,
                                                                     Args... args) noexcept {
  try {
    return exact(args...);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The error of an element, with its place spliced in after the argument's
// name when it is exactly a TypeError; any other error passes unchanged.
[[nodiscard, gnu::cold]] PyErr at_item(std::string_view name, PyErr err, Py_ssize_t index);
[[nodiscard, gnu::cold]] PyErr at_key(std::string_view name, PyErr err, PyObject* key);
[[nodiscard, gnu::cold]] PyErr at_value(std::string_view name, PyErr err, PyObject* key);
// "argument 'p': expected 2 items, got 3".
[[nodiscard, gnu::cold]] PyErr wrong_length(std::string_view name, std::size_t expected,
                                            Py_ssize_t got);

// The items of a sequence argument as a list or tuple: the object itself for
// a list or tuple, a new list of its items for any other sequence. str,
// bytes and bytearray are refused: they are texts, not sequences of values.
[[nodiscard]] Result<Owned> sequence_items(PyObject* obj, std::string_view name);
// An iterator over any iterable argument.
[[nodiscard]] Result<Owned> iterate(PyObject* obj, std::string_view name);
// The next item, or an empty Owned at the end.
[[nodiscard]] Result<Owned> next_item(PyObject* iterator);

// Converts each item of a list or tuple, which the conversions may change:
// its size is read again before each item, and the item is held while it
// converts. put(index, value) takes each value.
template <typename T, typename Put>
[[nodiscard]] Result<void> convert_items(PyObject* seq, std::string_view name, Put put) {
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
    Owned item = Owned::borrow(PySequence_Fast_GET_ITEM(seq, i));
    Result<T> value = convert_element<T>(item.get(), name);
    if (!value) [[unlikely]]
      return failure(at_item(name, std::move(value.error()), i));
    put(i, std::move(*value));
  }
  return {};
}

// Sets the new list's or tuple's items from the values, in order; the list
// or tuple is released when one fails.
template <typename Range>
[[nodiscard]] Result<PyObject*> fill_items(PyObject* seq, Range&& values) {
  if (!seq) [[unlikely]]
    return result_failed();
  Py_ssize_t i = 0;
  for (auto&& value : values) {
    using T = std::remove_cvref_t<decltype(value)>;
    Result<PyObject*> item = Converter<T>::to_python(std::forward<decltype(value)>(value));
    if (!item) [[unlikely]] {
      Py_DECREF(seq);
      return item;
    }
    PySequence_Fast_ITEMS(seq)[i++] = *item;
  }
  return seq;
}

}  // namespace detail

}  // namespace krenn
