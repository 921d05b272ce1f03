// Mappings of converted keys and values, both ways: std::map and
// std::unordered_map take any mapping (a dict inline) and give a dict. Errors
// name the key: "argument 'd': value for key 'a': ..." or "argument 'd': key
// 1: ...".
#pragma once

#include <Python.h>

#include <array>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "krenn/converter.hpp"
#include "krenn/elements.hpp"

namespace krenn {

namespace detail {

// RuntimeError "dictionary changed size during iteration", as the interpreter's.
[[nodiscard, gnu::cold]] PyErr dict_changed_size();
// The TypeError for an item of a mapping's items() that is no (key, value) tuple.
[[nodiscard, gnu::cold]] PyErr not_a_pair(PyObject* pair);

// The next key and value of a dict or of a mapping's items() list, held
// while they convert; false at the end. A dict that changes size on the way
// is the interpreter's RuntimeError, as when iterating it.
class MappingItems {
 public:
  // Any mapping: a dict (subclasses too) is walked in place, another object
  // through its items().
  [[nodiscard]] static Result<MappingItems> of(PyObject* obj, std::string_view name);
  [[nodiscard]] Result<bool> next(Owned& key, Owned& value);
  // What it walks: the dict itself, or the list of (key, value) pairs.
  [[nodiscard]] Owned into_source() && noexcept { return std::move(source_); }

 private:
  MappingItems(Owned source, bool is_dict) noexcept
      : source_(std::move(source)), is_dict_(is_dict) {}
  Owned source_;
  Py_ssize_t at_ = 0;
  Py_ssize_t size_ = 0;
  bool is_dict_;
};

template <typename C, typename K = typename C::key_type, typename V = typename C::mapped_type>
struct MapConverter {
  static constexpr std::string_view python_name = joined<[] {
    return std::array<std::string_view, 5>{"collections.abc.Mapping[", Converter<K>::python_name,
                                           ", ", Converter<V>::python_name, "]"};
  }>;
  static constexpr std::string_view result_name = joined<[] {
    return std::array<std::string_view, 5>{"dict[", result_name_for<K>(), ", ",
                                           result_name_for<V>(), "]"};
  }>;

  // Exact dicts whose keys and values all convert exactly: nothing there
  // runs Python code, so the dict stays as it is.
  [[nodiscard]] static bool exact(PyObject* obj, C& out) noexcept {
    return declining_on_bad_alloc([&] { return exact_items(obj, out); });
  }
  [[nodiscard]] static bool exact_items(PyObject* obj, C& out) {
    if (!PyDict_CheckExact(obj)) return false;
    if constexpr (requires { out.reserve(0); })
      out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
    Py_ssize_t at = 0;
    PyObject* key_obj;
    PyObject* value_obj;
    while (PyDict_Next(obj, &at, &key_obj, &value_obj)) {
      std::optional<K> key = exact_value<K>(key_obj);
      if (!key) return false;
      std::optional<V> value = exact_value<V>(value_obj);
      if (!value) return false;
      out.insert_or_assign(std::move(*key), std::move(*value));
    }
    return true;
  }

  [[nodiscard]] static Result<C> convert(PyObject* obj, std::string_view name) {
    Result<MappingItems> items = MappingItems::of(obj, name);
    if (!items) [[unlikely]]
      return failure(std::move(items.error()));
    C out{};
    Owned key_obj, value_obj;
    for (;;) {
      Result<bool> more = items->next(key_obj, value_obj);
      if (!more) [[unlikely]]
        return failure(std::move(more.error()));
      if (!*more) break;
      Result<K> key = convert_element<K>(key_obj.get(), name);
      if (!key) [[unlikely]]
        return failure(at_key(name, std::move(key.error()), key_obj.get()));
      Result<V> value = convert_element<V>(value_obj.get(), name);
      if (!value) [[unlikely]]
        return failure(at_value(name, std::move(value.error()), key_obj.get()));
      out.insert_or_assign(std::move(*key), std::move(*value));
    }
    return out;
  }

  [[nodiscard]] static Result<PyObject*> to_python(const C& value) {
    PyObject* dict = PyDict_New();
    if (!dict) [[unlikely]]
      return result_failed();
    for (const auto& [k, v] : value) {
      Result<PyObject*> key = Converter<K>::to_python(k);
      if (!key) [[unlikely]] {
        Py_DECREF(dict);
        return key;
      }
      Result<PyObject*> item = Converter<V>::to_python(v);
      if (!item) [[unlikely]] {
        Py_DECREF(*key);
        Py_DECREF(dict);
        return item;
      }
      int set = PyDict_SetItem(dict, *key, *item);
      Py_DECREF(*key);
      Py_DECREF(*item);
      if (set != 0) [[unlikely]] {
        std::unexpected<PyErr> err = result_failed();
        Py_DECREF(dict);
        return err;
      }
    }
    return dict;
  }
};

}  // namespace detail

template <typename K, typename V, typename C, typename A>
struct Converter<std::map<K, V, C, A>> : detail::MapConverter<std::map<K, V, C, A>> {};
template <typename K, typename V, typename H, typename E, typename A>
struct Converter<std::unordered_map<K, V, H, E, A>>
    : detail::MapConverter<std::unordered_map<K, V, H, E, A>> {};

}  // namespace krenn
