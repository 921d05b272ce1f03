// A bound class put together when compiling: its members' entries, the
// interpreter's slots that its special methods fill, and the ClassSpec that
// the module item adds. Included by class.hpp.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <functional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace krenn {

// The interpreter's slots a class fills; null where it has no such method.
struct ClassSlots {
  reprfunc repr = nullptr;
  reprfunc str = nullptr;
  richcmpfunc richcompare = nullptr;
  hashfunc hash = nullptr;
  lenfunc len = nullptr;
  binaryfunc getitem = nullptr;
  objobjargproc setitem = nullptr;
  objobjproc contains = nullptr;
  getiterfunc iter = nullptr;
  iternextfunc next = nullptr;
  inquiry to_bool = nullptr;
  binaryfunc add = nullptr;
  binaryfunc subtract = nullptr;
  binaryfunc multiply = nullptr;
  binaryfunc true_divide = nullptr;
  binaryfunc inplace_add = nullptr;
  unaryfunc negative = nullptr;
  ternaryfunc call = nullptr;
  initproc init = nullptr;
  vectorcallfunc construct = nullptr;
  destructor dealloc = nullptr;
};

// Static description of a bound class.
struct ClassSpec {
  std::string_view name;  // with its NUL
  std::string_view doc;   // with its NUL; a text signature first when it has one __init__
  const std::type_info* type;
  std::size_t basicsize;
  std::span<const MethodSpec> methods;
  std::span<const PyGetSetDef> getsets;
  std::span<const detail::BaseCast> bases;
  ClassSlots slots;
  bool hash_none;  // __eq__ without __hash__: unhashable, as in Python
  PyTypeObject** slot;
};

// record: a ClassSpec.
[[nodiscard]] Result<void> add_class_item(PyObject* module, const void* record);

namespace detail {

enum class Special : std::uint8_t {
  none,
  repr,
  str,
  eq,
  ne,
  lt,
  le,
  gt,
  ge,
  hash,
  len,
  getitem,
  setitem,
  contains,
  iter,
  next,
  to_bool,
  add,
  subtract,
  multiply,
  true_divide,
  negative,
  inplace_add,
  call,
};

constexpr Special special_of(std::string_view name) {
  constexpr std::pair<std::string_view, Special> names[] = {
      {"__repr__", Special::repr},
      {"__str__", Special::str},
      {"__eq__", Special::eq},
      {"__ne__", Special::ne},
      {"__lt__", Special::lt},
      {"__le__", Special::le},
      {"__gt__", Special::gt},
      {"__ge__", Special::ge},
      {"__hash__", Special::hash},
      {"__len__", Special::len},
      {"__getitem__", Special::getitem},
      {"__setitem__", Special::setitem},
      {"__contains__", Special::contains},
      {"__iter__", Special::iter},
      {"__next__", Special::next},
      {"__bool__", Special::to_bool},
      {"__add__", Special::add},
      {"__sub__", Special::subtract},
      {"__mul__", Special::multiply},
      {"__truediv__", Special::true_divide},
      {"__neg__", Special::negative},
      {"__iadd__", Special::inplace_add},
      {"__call__", Special::call},
  };
  for (auto [n, s] : names)
    if (n == name) return s;
  return Special::none;
}

// Operators whose other operand, when it does not convert, makes the result
// NotImplemented, so that Python tries the other side.
constexpr bool is_operator(Special s) {
  return (s >= Special::eq && s <= Special::ge) ||
         (s >= Special::add && s <= Special::true_divide) || s == Special::inplace_add;
}

// Out of line, shared by every class.
[[nodiscard]] PyObject* call_with_tuple(FastcallEntry entry, PyObject* self, PyObject* args,
                                        PyObject* kwargs);
[[nodiscard]] int init_with_tuple(FastcallEntry entry, PyObject* self, PyObject* args,
                                  PyObject* kwargs);
[[nodiscard]] Py_ssize_t length_of(PyObject* result);
[[nodiscard]] Py_hash_t hash_of(PyObject* result);
[[nodiscard]] int truth_of(PyObject* result, bool bool_only);
[[nodiscard]] PyObject* compare_inverted(PyObject* result);
[[nodiscard]] PyObject* next_of(PyObject* result);
[[nodiscard]] PyErr no_item_deletion(PyObject* self);
[[nodiscard]] bool is_instance_of(PyObject* obj, PyTypeObject* type);
[[nodiscard]] PyObject* no_constructor_matches(const char* text);

template <typename T, auto m>
struct FieldTraits;
template <typename T, typename C, typename V, V C::*m>
struct FieldTraits<T, m> {
  using value_type = V;
};

// The object of a getter's or setter's self.
template <typename T>
[[gnu::always_inline]] inline Result<T*> self_of(PyObject* self) {
  T* value;
  if (Converter<T>::exact(self, value)) [[likely]]
    return value;
  T* out = nullptr;
  if (Result<void> got = Converter<T>::convert(self, "self", out); !got) [[unlikely]]
    return failure(std::move(got.error()));
  return out;
}

// A value read from self: copied, or, for a bound class, referred to in place.
template <typename V>
[[gnu::always_inline]] inline Result<PyObject*> read_member(V& value, PyObject* self) {
  if constexpr (BoundClass<V> && !std::is_same_v<V, Object>)
    return detail::ClassConverterBase<V>::refer(&value, self);
  else
    return detail::to_python_result(value);
}

template <typename V>
[[gnu::always_inline]] inline Result<void> assign_from(PyObject* value, std::string_view name,
                                                       auto&& assign) {
  if constexpr (HolderForm<V>) {
    typename Converter<V>::Holder holder{};
    if constexpr (has_exact<V>) {
      if (Converter<V>::exact(value, holder)) [[likely]] {
        assign(Converter<V>::get(holder));
        return {};
      }
    }
    if (Result<void> got = Converter<V>::convert(value, name, holder); !got) [[unlikely]]
      return failure(std::move(got.error()));
    assign(Converter<V>::get(holder));
  } else {
    V converted{};
    if (!Converter<V>::exact(value, converted)) {
      Result<V> got = Converter<V>::convert(value, name);
      if (!got) [[unlikely]]
        return failure(std::move(got.error()));
      converted = std::move(*got);
    }
    assign(std::move(converted));
  }
  return {};
}

[[nodiscard, gnu::cold]] PyErr cannot_delete(std::string_view name);
[[nodiscard, gnu::cold]] PyErr read_only(std::string_view name);

template <typename T, auto m, const auto& name_text>
struct FieldAccess {
  static constexpr std::string_view name{name_text.data(), name_text.size() - 1};
  using V = typename FieldTraits<T, m>::value_type;
  static PyObject* get(PyObject* self, void*) {
    return call_trampoline([self]() -> Result<PyObject*> {
      Result<T*> object = self_of<T>(self);
      if (!object) [[unlikely]]
        return failure(std::move(object.error()));
      return read_member((*object)->*m, self);
    });
  }
  static int set(PyObject* self, PyObject* value, void*) {
    PyObject* done = call_trampoline([self, value]() -> Result<PyObject*> {
      if (!value) [[unlikely]]
        return failure(cannot_delete(name));
      Result<T*> object = self_of<T>(self);
      if (!object) [[unlikely]]
        return failure(std::move(object.error()));
      T* target = *object;
      Result<void> set = assign_from<V>(
          value, name, [target](auto&& v) { target->*m = std::forward<decltype(v)>(v); });
      if (!set) [[unlikely]]
        return failure(std::move(set.error()));
      return Py_None;  // immortal enough: not released by the caller below
    });
    return done ? 0 : -1;
  }
};

template <typename T, auto getter, auto setter, const auto& name_text>
struct PropertyAccess {
  static constexpr std::string_view name{name_text.data(), name_text.size() - 1};
  static PyObject* get(PyObject* self, void*) {
    return call_trampoline([self]() -> Result<PyObject*> {
      Result<T*> object = self_of<T>(self);
      if (!object) [[unlikely]]
        return failure(std::move(object.error()));
      return detail::to_python_result(std::invoke(getter, **object));
    });
  }
  static int set(PyObject* self, PyObject* value, void*) {
    if constexpr (std::is_same_v<decltype(setter), std::nullptr_t>) {
      (void)self;
      (void)value;
      return -1;
    } else {
      // The value: after the object, for a member function and a function alike.
      using V =
          std::tuple_element_t<1,
                               typename BodyTraits<std::remove_const_t<decltype(setter)>>::params>;
      PyObject* done = call_trampoline([self, value]() -> Result<PyObject*> {
        if (!value) [[unlikely]]
          return failure(cannot_delete(name));
        Result<T*> object = self_of<T>(self);
        if (!object) [[unlikely]]
          return failure(std::move(object.error()));
        T* target = *object;
        Result<void> set = assign_from<V>(value, name, [target](auto&& v) {
          std::invoke(setter, *target, std::forward<decltype(v)>(v));
        });
        if (!set) [[unlikely]]
          return failure(std::move(set.error()));
        return Py_None;
      });
      return done ? 0 : -1;
    }
  }
};

template <typename T>
inline constexpr bool is_init_member = false;
template <typename D, typename... A>
inline constexpr bool is_init_member<InitMember<D, A...>> = true;

template <typename T>
inline constexpr bool is_base_member = false;
template <typename B>
inline constexpr bool is_base_member<BaseMember<B>> = true;

template <typename T, typename B>
void* upcast(void* value) {
  return static_cast<B*>(static_cast<T*>(value));
}

}  // namespace detail

// The class T with the members listed in members (a tuple), under the Python
// name class_name, with doc.
template <typename T, const auto& members, const std::string_view& class_name, const auto& doc>
struct Class {
  template <typename L>
  struct Count;
  template <typename... Ts>
  struct Count<MemberList<Ts...>> {
    static constexpr std::size_t value = sizeof...(Ts);
  };
  static constexpr std::size_t member_count = Count<std::remove_cvref_t<decltype(members)>>::value;
  template <std::size_t I>
  using MemberAt = std::remove_cvref_t<decltype(member<I>(members))>;

  template <std::size_t I>
  static constexpr MemberKind kind_of = MemberAt<I>::kind;
  template <std::size_t I>
  static constexpr detail::Special special_at = [] {
    if constexpr (kind_of<I> == MemberKind::method)
      return detail::special_of(member<I>(members).decl.name.view());
    else
      return detail::Special::none;
  }();

  static constexpr std::size_t init_count = [] {
    return []<std::size_t... I>(std::index_sequence<I...>) {
      return (std::size_t{0} + ... + std::size_t{MemberAt<I>::kind == MemberKind::init});
    }
    (std::make_index_sequence<member_count>());
  }();
  template <typename M>
  struct InitBody;
  template <typename D, typename... Args>
  struct InitBody<InitMember<D, Args...>> {
    static constexpr auto body = &detail::construct_with<T, Args...>;
  };

  // The callable of member I.
  template <std::size_t I>
  static constexpr auto callable_of() {
    using M = MemberAt<I>;
    if constexpr (M::kind == MemberKind::init)
      return Function<InitBody<M>::body, member<I>(members).decl, CallKind::init, class_name,
                      (init_count > 1)>{};
    else if constexpr (M::kind == MemberKind::method)
      return Function<M::function, member<I>(members).decl, CallKind::method, class_name,
                      detail::is_operator(special_at<I>)>{};
    else if constexpr (M::kind == MemberKind::static_method)
      return Function<M::function, member<I>(members).decl, CallKind::static_method, class_name>{};
    else
      return 0;
  }
  template <std::size_t I>
  using Callable = decltype(callable_of<I>());

  template <typename Pred>
  static constexpr std::size_t count_if(Pred pred) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (std::size_t{0} + ... + std::size_t{pred(std::integral_constant<std::size_t, I>())});
    }
    (std::make_index_sequence<member_count>());
  }
  template <typename Pred>
  static constexpr std::size_t find_first(Pred pred) {
    std::size_t at = member_count;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((at == member_count && pred(std::integral_constant<std::size_t, I>()) ? (void)(at = I)
                                                                             : (void)0),
       ...);
    }
    (std::make_index_sequence<member_count>());
    return at;
  }

  static constexpr std::size_t init_at =
      find_first([](auto i) { return kind_of<i()> == MemberKind::init; });

  template <detail::Special s>
  static constexpr std::size_t special_index = find_first([](auto i) {
    return special_at<i()> == s;
  });
  template <detail::Special s>
  static constexpr bool has = special_index<s> < member_count;
  template <detail::Special s>
  [[gnu::always_inline]] static PyObject* call_special(PyObject* self, PyObject* const* args,
                                                       Py_ssize_t nargs) {
    return Callable<special_index<s>>::entry(self, args, nargs, nullptr);
  }

  // Methods that are not special, and static methods.
  static constexpr std::size_t method_count = count_if([](auto i) {
    return (kind_of<i()> == MemberKind::method && special_at<i()> == detail::Special::none) ||
           kind_of<i()> == MemberKind::static_method;
  });
  static constexpr auto methods = [] {
    std::array<MethodSpec, method_count> out{};
    std::size_t n = 0;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (
          [&] {
            if constexpr ((kind_of<I> == MemberKind::method &&
                           special_at<I> == detail::Special::none) ||
                          kind_of<I> == MemberKind::static_method)
              out[n++] = Callable<I>::spec;
          }(),
          ...);
    }
    (std::make_index_sequence<member_count>());
    return out;
  }();

  template <std::size_t I>
  static constexpr std::string_view member_name = member<I>(members).decl.name.view();
  template <std::size_t I>
  static constexpr auto member_name_text = [] {
    constexpr auto text = member<I>(members).decl.name.with_nul();
    std::array<char, text.size()> out{};
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = text[i];
    return out;
  }();
  template <std::size_t I>
  static constexpr auto member_doc_text = [] {
    constexpr auto text = member<I>(members).decl.doc.with_nul();
    std::array<char, text.size()> out{};
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = text[i];
    return out;
  }();

  template <std::size_t I>
  static constexpr PyGetSetDef getset_of() {
    using M = MemberAt<I>;
    const char* name = member_name_text<I>.data();
    const char* doc_ = member_doc_text<I>.size() > 1 ? member_doc_text<I>.data() : nullptr;
    if constexpr (M::kind == MemberKind::field) {
      using A = detail::FieldAccess<T, M::function, member_name_text<I>>;
      return {name, &A::get, &A::set, doc_, nullptr};
    } else if constexpr (M::kind == MemberKind::readonly) {
      using A = detail::FieldAccess<T, M::function, member_name_text<I>>;
      return {name, &A::get, nullptr, doc_, nullptr};
    } else {
      using A = detail::PropertyAccess<T, M::function, M::set_function, member_name_text<I>>;
      constexpr bool writable = !std::is_same_v<decltype(M::set_function), const std::nullptr_t>;
      return {name, &A::get, writable ? &A::set : nullptr, doc_, nullptr};
    }
  }
  static constexpr std::size_t getset_count = count_if([](auto i) {
    return kind_of<i()> == MemberKind::field || kind_of<i()> == MemberKind::readonly ||
           kind_of<i()> == MemberKind::property;
  });
  static constexpr auto getsets = [] {
    std::array<PyGetSetDef, getset_count + 1> out{};
    std::size_t n = 0;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (
          [&] {
            if constexpr (kind_of<I> == MemberKind::field || kind_of<I> == MemberKind::readonly ||
                          kind_of<I> == MemberKind::property)
              out[n++] = getset_of<I>();
          }(),
          ...);
    }
    (std::make_index_sequence<member_count>());
    return out;
  }();

  static constexpr std::size_t base_count =
      count_if([](auto i) { return kind_of<i()> == MemberKind::base; });
  static constexpr auto bases = [] {
    std::array<detail::BaseCast, base_count> out{};
    std::size_t n = 0;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (
          [&] {
            if constexpr (kind_of<I> == MemberKind::base) {
              using B = typename MemberAt<I>::type;
              static_assert(std::is_base_of_v<B, T>, "krenn::base<B>: B is a base class of T");
              out[n++] = {&typeid(B), &detail::upcast<T, B>};
            }
          }(),
          ...);
    }
    (std::make_index_sequence<member_count>());
    return out;
  }();

  // The slots.
  static PyObject* repr(PyObject* self) {
    return call_special<detail::Special::repr>(self, nullptr, 0);
  }
  static PyObject* str(PyObject* self) {
    return call_special<detail::Special::str>(self, nullptr, 0);
  }
  template <detail::Special s>
  static PyObject* compare_by(PyObject* self, PyObject* other) {
    if constexpr (has<s>) {
      return call_special<s>(self, &other, 1);
    } else if constexpr (s == detail::Special::ne && has<detail::Special::eq>) {
      PyObject* equal = call_special<detail::Special::eq>(self, &other, 1);
      return equal ? detail::compare_inverted(equal) : nullptr;
    } else {
      (void)self;
      (void)other;
      return Py_NewRef(Py_NotImplemented);
    }
  }
  static PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    switch (op) {
      case Py_EQ: return compare_by<detail::Special::eq>(self, other);
      case Py_NE: return compare_by<detail::Special::ne>(self, other);
      case Py_LT: return compare_by<detail::Special::lt>(self, other);
      case Py_LE: return compare_by<detail::Special::le>(self, other);
      case Py_GT: return compare_by<detail::Special::gt>(self, other);
      default: return compare_by<detail::Special::ge>(self, other);
    }
  }
  static Py_hash_t hash(PyObject* self) {
    PyObject* result = call_special<detail::Special::hash>(self, nullptr, 0);
    return result ? detail::hash_of(result) : -1;
  }
  static Py_ssize_t len(PyObject* self) {
    PyObject* result = call_special<detail::Special::len>(self, nullptr, 0);
    return result ? detail::length_of(result) : -1;
  }
  static PyObject* getitem(PyObject* self, PyObject* key) {
    return call_special<detail::Special::getitem>(self, &key, 1);
  }
  static int setitem(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) {
      restore_error(detail::no_item_deletion(self));
      return -1;
    }
    PyObject* args[] = {key, value};
    PyObject* result = call_special<detail::Special::setitem>(self, args, 2);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
  }
  static int contains(PyObject* self, PyObject* value) {
    PyObject* result = call_special<detail::Special::contains>(self, &value, 1);
    return result ? detail::truth_of(result, false) : -1;
  }
  static PyObject* iter(PyObject* self) {
    return call_special<detail::Special::iter>(self, nullptr, 0);
  }
  static PyObject* next(PyObject* self) {
    PyObject* result = call_special<detail::Special::next>(self, nullptr, 0);
    return result ? detail::next_of(result) : nullptr;
  }
  static int to_bool(PyObject* self) {
    PyObject* result = call_special<detail::Special::to_bool>(self, nullptr, 0);
    return result ? detail::truth_of(result, true) : -1;
  }
  template <detail::Special s>
  static PyObject* binary(PyObject* left, PyObject* right) {
    // Python calls the left operand's slot with either side being ours.
    if (!detail::is_instance_of(left, detail::ClassSlot<T>::type))
      return Py_NewRef(Py_NotImplemented);
    return call_special<s>(left, &right, 1);
  }
  static PyObject* negative(PyObject* self) {
    return call_special<detail::Special::negative>(self, nullptr, 0);
  }
  static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return detail::call_with_tuple(&Callable<special_index<detail::Special::call>>::entry, self,
                                   args, kwargs);
  }
  // Several constructors: the first whose arguments bind and convert.
  static PyObject* init_overloads(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    PyObject* result = Py_NewRef(Py_NotImplemented);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (
          [&] {
            if constexpr (kind_of<I> == MemberKind::init) {
              if (result != Py_NotImplemented) return;
              Py_DECREF(result);  // the last one's, or the starting value's own below
              result = Callable<I>::entry(self, args, nargs, kwnames);
            }
          }(),
          ...);
    }
    (std::make_index_sequence<member_count>());
    if (result != Py_NotImplemented) return result;
    Py_DECREF(result);
    return detail::no_constructor_matches(overloads_text.data());
  }
  static constexpr std::size_t write_overloads(char* out) {
    std::size_t at = 0;
    auto put = [&](std::string_view text) {
      for (char c : text) {
        if (out) out[at] = c;
        ++at;
      }
    };
    put(class_name);
    put(".__init__() arguments match no constructor: ");
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      bool first = true;
      (
          [&] {
            if constexpr (kind_of<I> == MemberKind::init) {
              if (!first) put(", ");
              first = false;
              put("(");
              Callable<I>::write_params(put, [](std::size_t) {});
              put(")");
            }
          }(),
          ...);
      (void)first;
    }
    (std::make_index_sequence<member_count>());
    put(std::string_view("", 1));
    return at;
  }
  static constexpr auto overloads_text = [] {
    std::array<char, write_overloads(nullptr)> out{};
    write_overloads(out.data());
    return out;
  }();
  static constexpr FastcallEntry init_entry = [] {
    if constexpr (init_count == 1)
      return &Callable<init_at>::entry;
    else
      return &init_overloads;
  }();
  static int init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return detail::init_with_tuple(init_entry, self, args, kwargs);
  }
  // Vec2(...) on the class itself (a Python subclass goes through tp_new and
  // tp_init): one allocation, the constructor's entry, no tuple.
  static PyObject* construct(PyObject* type, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
    PyObject* self = detail::fresh_instance<T>(reinterpret_cast<PyTypeObject*>(type));
    if (!self) [[unlikely]]
      return nullptr;
    PyObject* result = init_entry(self, args, PyVectorcall_NARGS(nargsf), kwnames);
    if (!result) [[unlikely]] {
      Py_DECREF(self);
      return nullptr;
    }
    Py_DECREF(result);
    return self;
  }

  static constexpr ClassSlots slots = [] {
    ClassSlots out{};
    using detail::Special;
    if constexpr (has<Special::repr>) out.repr = &repr;
    if constexpr (has<Special::str>) out.str = &str;
    if constexpr (has<Special::eq> || has<Special::ne> || has<Special::lt> || has<Special::le> ||
                  has<Special::gt> || has<Special::ge>)
      out.richcompare = &richcompare;
    if constexpr (has<Special::hash>) out.hash = &hash;
    if constexpr (has<Special::len>) out.len = &len;
    if constexpr (has<Special::getitem>) out.getitem = &getitem;
    if constexpr (has<Special::setitem>) out.setitem = &setitem;
    if constexpr (has<Special::contains>) out.contains = &contains;
    if constexpr (has<Special::iter>) out.iter = &iter;
    if constexpr (has<Special::next>) out.next = &next;
    if constexpr (has<Special::to_bool>) out.to_bool = &to_bool;
    if constexpr (has<Special::add>) out.add = &binary<Special::add>;
    if constexpr (has<Special::subtract>) out.subtract = &binary<Special::subtract>;
    if constexpr (has<Special::multiply>) out.multiply = &binary<Special::multiply>;
    if constexpr (has<Special::true_divide>) out.true_divide = &binary<Special::true_divide>;
    if constexpr (has<Special::inplace_add>) out.inplace_add = &binary<Special::inplace_add>;
    if constexpr (has<Special::negative>) out.negative = &negative;
    if constexpr (has<Special::call>) out.call = &call;
    if constexpr (init_count >= 1) {
      out.init = &init;
      out.construct = &construct;
    }
    out.dealloc = &detail::dealloc_instance<T>;
    return out;
  }();

  // The class doc: "Vec2(x=0.0, y=0.0)\n--\n\n" and the doc, for one __init__.
  static constexpr std::size_t write_doc(char* out) {
    std::size_t at = 0;
    auto put = [&](std::string_view text) {
      for (char c : text) {
        if (out) out[at] = c;
        ++at;
      }
    };
    if constexpr (init_count == 1) {
      put(class_name);
      put("(");
      Callable<init_at>::write_params(put, [](std::size_t) {});
      put(")\n--\n\n");
    }
    put(doc.with_nul());
    return at;
  }
  static constexpr auto doc_text = [] {
    std::array<char, write_doc(nullptr)> out{};
    write_doc(out.data());
    return out;
  }();
  static constexpr auto name_text = [] {
    std::array<char, class_name.size() + 1> out{};
    for (std::size_t i = 0; i < class_name.size(); ++i) out[i] = class_name[i];
    return out;
  }();

  // The class's records for the module's stub: the class, then its members.
  template <std::size_t I>
  static constexpr std::string_view property_type() {
    using M = MemberAt<I>;
    if constexpr (M::kind == MemberKind::property)
      return detail::result_name_of<
          typename detail::BodyTraits<std::remove_const_t<decltype(M::function)>>::result>();
    else
      return detail::python_name_of<typename detail::FieldTraits<T, M::function>::value_type>();
  }
  static constexpr std::size_t write_stub(char* out) {
    std::size_t at = 0;
    auto put = [&](std::string_view text) {
      for (char c : text) {
        if (out) out[at] = c;
        ++at;
      }
    };
    put("class\x1f");
    put(class_name);
    put("\x1f");
    put(detail::ClassConverterBase<T>::python_name);
    put("\x1f");
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      bool first = true;
      (
          [&] {
            if constexpr (kind_of<I> == MemberKind::base) {
              if (!first) put(",");
              first = false;
              put(detail::ClassConverterBase<typename MemberAt<I>::type>::python_name);
            }
          }(),
          ...);
      (void)first;
    }
    (std::make_index_sequence<member_count>());
    put("\x1f");
    put(doc.with_nul());
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (
          [&] {
            constexpr MemberKind k = kind_of<I>;
            if constexpr (k == MemberKind::init || k == MemberKind::method ||
                          k == MemberKind::static_method) {
              for (char c : Callable<I>::stub_record) put(std::string_view(&c, 1));
            } else if constexpr (k == MemberKind::field || k == MemberKind::readonly ||
                                 k == MemberKind::property) {
              put("property\x1f");
              put(class_name);
              put(".");
              put(member_name<I>);
              put("\x1f");
              put(property_type<I>());
              put("\x1f");
              constexpr bool writable =
                  k == MemberKind::field ||
                  (k == MemberKind::property &&
                   !std::is_same_v<decltype(MemberAt<I>::set_function), const std::nullptr_t>);
              put(writable ? "1" : "0");
              put("\x1f");
              put(member<I>(members).decl.doc.with_nul());
            }
          }(),
          ...);
    }
    (std::make_index_sequence<member_count>());
    return at;
  }
  static constexpr auto stub_record = [] {
    std::array<char, write_stub(nullptr)> out{};
    write_stub(out.data());
    return out;
  }();

  static constexpr ClassSpec spec{
      .name = std::string_view(name_text.data(), name_text.size()),
      .doc = std::string_view(doc_text.data(), doc_text.size()),
      .type = &typeid(T),
      .basicsize = detail::value_offset<T> + sizeof(T),
      .methods = methods,
      .getsets = getsets,
      .bases = bases,
      .slots = slots,
      .hash_none = has<detail::Special::eq> && !has<detail::Special::hash>,
      .slot = &detail::ClassSlot<T>::type,
  };
};

}  // namespace krenn

// Declares the Python class py_name for the C++ class CppType, with doc and
// members: krenn::init<Args...>(params...), krenn::method<&T::f>(name, doc,
// params...), krenn::static_method<&f>(...), krenn::field<&T::m>(name, doc),
// krenn::readonly<&T::m>(...), krenn::property<&T::get, &T::set>(name, doc),
// krenn::base<Base>. Special methods go by their Python names
// (krenn::method<&T::repr>("__repr__")). KRENN_MODULE lists it by py_name.
#define KRENN_CLASS(py_name, CppType, doc, ...)                                              \
  inline constexpr auto py_name##_members = ::krenn::members(__VA_ARGS__);                   \
  inline constexpr std::string_view py_name##_class_name = #py_name;                         \
  inline constexpr ::krenn::FixedText py_name##_class_doc{doc};                              \
  using py_name##_class =                                                                    \
      ::krenn::Class<CppType, py_name##_members, py_name##_class_name, py_name##_class_doc>; \
  KRENN_STUB_RECORD static constexpr auto py_name##_stub = py_name##_class::stub_record;     \
  KRENN_DECLARE_ITEM(py_name)                                                                \
  constexpr ::krenn::ModuleItem py_name##_item { &::krenn::add_class_item, &py_name##_class::spec }
