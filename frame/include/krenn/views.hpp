// Views of Python containers, for parameters: krenn::Sequence<T> and
// krenn::Mapping<K, V> stay the argument itself and convert each element as
// the body reads it, where a std::vector or std::map would first convert every
// element into a new container. They take what those take (any sequence but
// str, bytes and bytearray; any mapping), and an element that does not
// convert throws krenn::python_error with the error the std container would
// have raised ("argument 'xs': item 2: ..."): the body may catch it, and
// uncaught the call raises it.
//
// Python code may run while an element converts (__float__, __index__) and
// change the container: the view reads what is there when each element is
// read, as the std converters do, and never a freed item. The body itself
// must not change the container while it walks it, as it would not change a
// std::vector under its iterators. A std::string_view element borrows the
// str's own UTF-8: valid while the container holds the str.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "krenn/containers.hpp"
#include "krenn/converter.hpp"
#include "krenn/elements.hpp"
#include "krenn/maps.hpp"
#include "krenn/pool.hpp"
#include "krenn/python_error.hpp"

namespace krenn {

namespace detail {

// Instantiated with the type, so that the compiler's "required from" lines name it.
template <typename T>
consteval bool view_element() {
  static_assert(!has_holder<T>,
                "a view's element converts to a value of its own as it is read: a type whose "
                "value lives in per-call storage (a span of a buffer) cannot be one");
  static_assert(std::is_default_constructible_v<T>, "a view's element is default-constructible");
  return not_a_view<T>();
}

// The errors a view throws, out of every successful call's way.
[[noreturn, gnu::cold]] void throw_at_key(std::string_view name, PyErr err, PyObject* key);
[[noreturn, gnu::cold]] void throw_at_value(std::string_view name, PyErr err, PyObject* key);
[[noreturn, gnu::cold]] void throw_index_error(std::string_view name, std::size_t index);
[[noreturn, gnu::cold]] void throw_dict_changed_size();
// Item at of a mapping's items() list, a (key, value) tuple; throws otherwise.
[[nodiscard]] PyObject* pair_at(PyObject* list, Py_ssize_t at);
// The dict itself, or the list of a mapping's items().
[[nodiscard]] Result<Owned> mapping_source(PyObject* obj, std::string_view name);

// Item index of a list or tuple, converted; empty with the element's error
// pending in the interpreter if it does not convert.
template <typename T>
[[nodiscard]] std::optional<T> element_or_pending(PyObject* seq, std::string_view name,
                                                  Py_ssize_t index) {
  Owned item = Owned::borrow(PySequence_Fast_GET_ITEM(seq, index));
  Result<T> value = convert_element<T>(item.get(), name);
  if (!value) [[unlikely]] {
    restore_error(at_item(name, std::move(value.error()), index));
    return std::nullopt;
  }
  return std::move(*value);
}

}  // namespace detail

// Any sequence but str, bytes and bytearray, its items converted to T as they
// are read: a list or tuple as it is, another sequence as a list of its items.
template <typename T>
class Sequence {
  static_assert(detail::view_element<T>());

 public:
  struct sentinel {};

  class iterator {
   public:
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using iterator_concept = std::input_iterator_tag;

    iterator() noexcept = default;

    // The exact way inline, in registers; anything else out of line, after
    // which the list is read again, since Python code may have changed it.
    [[nodiscard]] T operator*() const {
      T value;
      if (detail::exact_element<T>(items_[at_], value)) [[likely]]
        return value;
      value = view_->convert_at(at_);
      items_ = PySequence_Fast_ITEMS(view_->seq_.get());
      size_ = PySequence_Fast_GET_SIZE(view_->seq_.get());
      return value;
    }
    iterator& operator++() noexcept {
      ++at_;
      return *this;
    }
    void operator++(int) noexcept { ++at_; }
    [[nodiscard]] friend bool operator==(const iterator& it, sentinel) noexcept {
      return it.at_ >= it.size_;
    }

   private:
    friend class Sequence;
    explicit iterator(const Sequence* view) noexcept
        : view_(view),
          items_(PySequence_Fast_ITEMS(view->seq_.get())),
          size_(PySequence_Fast_GET_SIZE(view->seq_.get())) {}
    const Sequence* view_ = nullptr;
    mutable PyObject* const* items_ = nullptr;
    mutable Py_ssize_t size_ = 0;
    Py_ssize_t at_ = 0;
  };

  Sequence() noexcept = default;
  Sequence(Sequence&&) noexcept = default;
  Sequence& operator=(Sequence&&) noexcept = default;

  [[nodiscard]] std::size_t size() const noexcept {
    return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq_.get()));
  }
  [[nodiscard]] bool empty() const noexcept { return size() == 0; }
  // Item i converted; past the end, IndexError.
  [[nodiscard]] T operator[](std::size_t i) const {
    if (i >= size()) [[unlikely]]
      detail::throw_index_error(name_, i);
    T value;
    if (detail::exact_element<T>(PySequence_Fast_GET_ITEM(seq_.get(), i), value)) [[likely]]
      return value;
    return convert_at(static_cast<Py_ssize_t>(i));
  }
  [[nodiscard]] iterator begin() const noexcept { return iterator(this); }
  [[nodiscard]] sentinel end() const noexcept { return {}; }
  // The list or tuple read.
  [[nodiscard]] Handle handle() const noexcept { return seq_.handle(); }

 private:
  friend struct Converter<Sequence>;
  Sequence(Owned seq, std::string_view name) noexcept : seq_(std::move(seq)), name_(name) {}

  // The general way, with the item held while Python code may run. The
  // error is thrown once nothing of this frame needs cleaning up, so the
  // unwinder passes it by: each stop costs thousands of instructions.
  [[gnu::noinline]] T convert_at(Py_ssize_t i) const {
    std::optional<T> value = detail::element_or_pending<T>(seq_.get(), name_, i);
    if (!value) [[unlikely]]
      throw python_error(fetch_error());
    return std::move(*value);
  }

  Owned seq_;  // a list or tuple
  std::string_view name_;
};

// Any mapping, its keys and values converted to K and V as they are read:
// a dict (subclasses too) walked in place, another mapping through the list
// of its items(). Walking a dict that changes size raises RuntimeError, as
// the interpreter's own walk does.
template <typename K, typename V>
class Mapping {
  static_assert(detail::view_element<K>() && detail::view_element<V>());

 public:
  struct sentinel {};

  class iterator {
   public:
    using value_type = std::pair<K, V>;
    using difference_type = std::ptrdiff_t;
    using iterator_concept = std::input_iterator_tag;

    iterator() noexcept = default;

    [[nodiscard]] const std::pair<K, V>& operator*() const noexcept { return current_; }
    iterator& operator++() {
      advance();
      return *this;
    }
    void operator++(int) { advance(); }
    [[nodiscard]] friend bool operator==(const iterator& it, sentinel) noexcept { return it.done_; }

   private:
    friend class Mapping;
    explicit iterator(const Mapping* view)
        : view_(view),
          source_(view->source_.get()),
          size_(PyDict_Check(source_) ? PyDict_GET_SIZE(source_) : -1) {
      advance();
    }

    // A dict's exact pairs inline; nothing runs Python code there, so the
    // dict holds them. Pairs converted the general way are held meanwhile
    // and while the body reads them: a std::string_view stays valid.
    void advance() {
      if (held_key_) [[unlikely]] {
        held_key_ = {};
        held_value_ = {};
      }
      if (size_ < 0) [[unlikely]] {
        if (at_ >= PyList_GET_SIZE(source_)) {
          done_ = true;
          return;
        }
        current_ = view_->convert_pair(detail::pair_at(source_, at_++));
        return;
      }
      if (PyDict_GET_SIZE(source_) != size_) [[unlikely]]
        detail::throw_dict_changed_size();
      Py_ssize_t at = at_;
      PyObject* key;
      PyObject* value;
      if (!PyDict_Next(source_, &at, &key, &value)) {
        done_ = true;
        return;
      }
      at_ = at;
      if (detail::exact_element<K>(key, current_.first) &&
          detail::exact_element<V>(value, current_.second)) [[likely]]
        return;
      Held held = view_->hold_and_convert(key, value);
      held_key_ = std::move(held.key);
      held_value_ = std::move(held.value);
      current_ = std::move(held.pair);
    }

    const Mapping* view_ = nullptr;
    PyObject* source_ = nullptr;
    Py_ssize_t size_ = 0;  // the dict's size when the walk began; -1 for items()
    Py_ssize_t at_ = 0;
    bool done_ = false;
    std::pair<K, V> current_{};
    Owned held_key_, held_value_;
  };

  Mapping() noexcept = default;
  Mapping(Mapping&&) noexcept = default;
  Mapping& operator=(Mapping&&) noexcept = default;

  [[nodiscard]] std::size_t size() const noexcept {
    PyObject* source = source_.get();
    return static_cast<std::size_t>(PyDict_Check(source) ? PyDict_GET_SIZE(source)
                                                         : PyList_GET_SIZE(source));
  }
  [[nodiscard]] bool empty() const noexcept { return size() == 0; }
  [[nodiscard]] iterator begin() const { return iterator(this); }
  [[nodiscard]] sentinel end() const noexcept { return {}; }

 private:
  friend struct Converter<Mapping>;
  Mapping(Owned source, std::string_view name) noexcept : source_(std::move(source)), name_(name) {}

  // A dict's pair that does not convert exactly: both held, since the
  // conversions may run Python code that drops them from the dict.
  struct Held {
    Owned key, value;
    std::pair<K, V> pair;
  };
  [[gnu::noinline]] Held hold_and_convert(PyObject* key, PyObject* value) const {
    Held held{Owned::borrow(key), Owned::borrow(value), {}};
    Result<K> k = detail::convert_element<K>(key, name_);
    if (!k) [[unlikely]]
      detail::throw_at_key(name_, std::move(k.error()), key);
    Result<V> v = detail::convert_element<V>(value, name_);
    if (!v) [[unlikely]]
      detail::throw_at_value(name_, std::move(v.error()), key);
    held.pair = {std::move(*k), std::move(*v)};
    return held;
  }

  // A pair of items(), held by the list that only the view holds.
  [[gnu::noinline]] std::pair<K, V> convert_pair(PyObject* pair) const {
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    std::pair<K, V> out{};
    if (!detail::exact_element<K>(key, out.first)) {
      Result<K> k = detail::convert_element<K>(key, name_);
      if (!k) [[unlikely]]
        detail::throw_at_key(name_, std::move(k.error()), key);
      out.first = std::move(*k);
    }
    if (!detail::exact_element<V>(value, out.second)) {
      Result<V> v = detail::convert_element<V>(value, name_);
      if (!v) [[unlikely]]
        detail::throw_at_value(name_, std::move(v.error()), key);
      out.second = std::move(*v);
    }
    return out;
  }

  Owned source_;  // a dict, or the list of (key, value) tuples of items()
  std::string_view name_;
};

namespace detail {

// What both views' converters share: parameters only, and never without the GIL.
struct ViewConverter {
  static constexpr bool needs_gil = true;
};

}  // namespace detail

template <typename T>
struct Converter<Sequence<T>> : detail::ViewConverter {
  static constexpr std::string_view python_name = Converter<std::vector<T>>::python_name;

  [[nodiscard]] static bool exact(PyObject* obj, Sequence<T>& out, std::string_view name) noexcept {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return false;
    out = Sequence<T>(new_ref(obj), name);
    return true;
  }
  [[nodiscard]] static Result<Sequence<T>> convert(PyObject* obj, std::string_view name) {
    Result<Owned> seq = detail::sequence_items(obj, name);
    if (!seq) [[unlikely]]
      return failure(std::move(seq.error()));
    return Sequence<T>(std::move(*seq), name);
  }
};

template <typename K, typename V>
struct Converter<Mapping<K, V>> : detail::ViewConverter {
  static constexpr std::string_view python_name = detail::joined<[] {
    return std::array<std::string_view, 5>{"collections.abc.Mapping[", Converter<K>::python_name,
                                           ", ", Converter<V>::python_name, "]"};
  }>;

  [[nodiscard]] static bool exact(PyObject* obj, Mapping<K, V>& out,
                                  std::string_view name) noexcept {
    if (!PyDict_CheckExact(obj)) return false;
    out = Mapping<K, V>(new_ref(obj), name);
    return true;
  }
  [[nodiscard]] static Result<Mapping<K, V>> convert(PyObject* obj, std::string_view name) {
    Result<Owned> source = detail::mapping_source(obj, name);
    if (!source) [[unlikely]]
      return failure(std::move(source.error()));
    return Mapping<K, V>(std::move(*source), name);
  }
};

}  // namespace krenn
