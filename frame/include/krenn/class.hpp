// C++ classes as Python classes. KRENN_CLASS declares one from its members
// (constructors, methods, static methods, fields, properties, bases); the
// instance holds the C++ object, and converters hand it to bodies by
// reference, pointer or copy. Classes are found through a registry that every
// krenn module of one frame version shares, so one module's class is another
// module's parameter type.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "krenn/converter.hpp"
#include "krenn/function.hpp"
#include "krenn/module.hpp"
#include "krenn/type_name.hpp"

namespace krenn {

// The head of every instance of a bound class. value is the C++ object, null
// until a constructor ran: inline after the head, on the heap (a unique_ptr
// result), or inside another instance that parent keeps alive.
struct InstanceHead {
  PyObject_HEAD PyObject* weaklist;
  void* value;
  PyObject* parent;
  std::uint8_t storage;  // how value dies
};

enum class Storage : std::uint8_t { borrowed = 0, inline_value = 1, heap = 2 };

namespace detail {

template <typename T>
constexpr std::size_t value_offset = (sizeof(InstanceHead) + alignof(T) - 1) / alignof(T) *
                                     alignof(T);

template <typename T>
[[nodiscard]] inline void* inline_storage(PyObject* obj) noexcept {
  return reinterpret_cast<char*>(obj) + value_offset<T>;
}

// A class's type in this module: set when the module binds it, or found in
// the registry at first use.
template <typename T>
struct ClassSlot {
  static inline constinit PyTypeObject* type = nullptr;
  // Instances of the type itself, freed and kept for the next one (under the
  // GIL), as the interpreter keeps floats: results are made and dropped often.
  static inline constinit void* spare[16] = {};
  static inline constinit unsigned spare_count = 0;
};

// The steps out of line, shared by every class.
struct BaseCast {
  const std::type_info* type;
  void* (*upcast)(void*);
};

// The value of obj as the class named cpp_name, for a parameter: the type
// found on the way is stored in slot. Errors name the argument.
[[nodiscard]] Result<void*> instance_value(PyObject* obj, const char* cpp_name, PyTypeObject*& slot,
                                           std::string_view name, std::string_view shown_name);
// The class's type for a result, or the error that it is bound nowhere.
[[nodiscard]] Result<PyTypeObject*> result_type(const char* cpp_name, PyTypeObject*& slot,
                                                std::string_view shown_name);
// A destructor that threw, reported as unraisable.
void destroy_reporting(void (*destroy)(void*), void* value, PyObject* self) noexcept;
[[nodiscard, gnu::cold]] PyErr not_constructed(PyObject* obj);

// A new instance of a bound class's own type, nothing in it yet: what the
// type's tp_alloc does for it (no GC, no items), without the call and the
// memset of the whole object, and from the spares when there are some.
template <typename T>
[[gnu::always_inline]] inline PyObject* fresh_instance(PyTypeObject* type) noexcept {
  void* memory;
  if (ClassSlot<T>::spare_count && type == ClassSlot<T>::type) [[likely]]
    memory = ClassSlot<T>::spare[--ClassSlot<T>::spare_count];
  else
    memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
  if (!memory) [[unlikely]]
    return PyErr_NoMemory();
  auto* head = static_cast<InstanceHead*>(memory);
  PyObject_Init(reinterpret_cast<PyObject*>(head), type);
  head->weaklist = nullptr;
  head->value = nullptr;
  head->parent = nullptr;
  head->storage = 0;
  return reinterpret_cast<PyObject*>(head);
}

// A new instance around value, made as fresh_instance makes one, so that
// the spares it takes are the ones its kind gives back.
template <typename T>
[[nodiscard]] inline Result<PyObject*> wrap(PyTypeObject* type, void* value, Storage storage,
                                            PyObject* parent) {
  PyObject* made = fresh_instance<T>(type);
  if (!made) [[unlikely]]
    return result_failed();
  auto* head = reinterpret_cast<InstanceHead*>(made);
  head->value = value;
  head->storage = static_cast<std::uint8_t>(storage);
  head->parent = parent ? Py_NewRef(parent) : nullptr;
  return made;
}

template <typename T>
void destroy_inline(void* value) {
  std::destroy_at(static_cast<T*>(value));
}
template <typename T>
void delete_heap(void* value) {
  delete static_cast<T*>(value);  // NOLINT: the unique_ptr's object, given to the instance
}

template <typename T>
void destroy_value(PyObject* self) noexcept {
  auto* head = reinterpret_cast<InstanceHead*>(self);
  void* value = std::exchange(head->value, nullptr);
  if (!value) return;
  auto storage = static_cast<Storage>(head->storage);
  if (storage == Storage::borrowed) return;
  void (*destroy)(void*) = storage == Storage::heap ? &delete_heap<T> : &destroy_inline<T>;
  if constexpr (std::is_nothrow_destructible_v<T>) {
    if (storage == Storage::heap || !std::is_trivially_destructible_v<T>) destroy(value);
  } else {
    destroy_reporting(destroy, value, self);
  }
}

template <typename T>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* head = reinterpret_cast<InstanceHead*>(self);
  if (head->weaklist) [[unlikely]]
    PyObject_ClearWeakRefs(self);
  if (!std::is_trivially_destructible_v<T> ||
      head->storage != static_cast<std::uint8_t>(Storage::inline_value))
    destroy_value<T>(self);
  if (head->parent) [[unlikely]]
    Py_CLEAR(head->parent);
  if (type == ClassSlot<T>::type && ClassSlot<T>::spare_count < std::size(ClassSlot<T>::spare))
    ClassSlot<T>::spare[ClassSlot<T>::spare_count++] = self;
  else
    type->tp_free(self);
  Py_DECREF(type);
}

template <typename T>
inline constexpr bool is_std_type = cpp_type_name<T>().starts_with("std::");

}  // namespace detail

// A class type that no other converter claims is a bound class: KRENN_CLASS
// binds it in this module or another.
template <typename T>
concept BoundClass = std::is_class_v<T> && !detail::is_std_type<T> && std::is_destructible_v<T>;

namespace detail {

template <typename T>
struct ClassConverterBase {
  static constexpr std::string_view python_name{stub_type_ref<T>.data(), stub_type_ref<T>.size()};
  static constexpr std::string_view cpp_name = cpp_type_name<T>();

  [[nodiscard]] static const char* mangled() noexcept { return typeid(T).name(); }

  [[gnu::always_inline]] static bool exact_pointer(PyObject* obj, T*& out) noexcept {
    if (Py_TYPE(obj) != ClassSlot<T>::type) return false;
    void* value = reinterpret_cast<InstanceHead*>(obj)->value;
    out = static_cast<T*>(value);
    return value != nullptr;
  }
  [[nodiscard]] static Result<T*> pointer(PyObject* obj, std::string_view name) {
    Result<void*> value = instance_value(obj, mangled(), ClassSlot<T>::type, name, cpp_name);
    if (!value) [[unlikely]]
      return failure(std::move(value.error()));
    return static_cast<T*>(*value);
  }

  [[nodiscard]] static Result<PyTypeObject*> type() {
    if (PyTypeObject* type = ClassSlot<T>::type) [[likely]]
      return type;
    return result_type(mangled(), ClassSlot<T>::type, cpp_name);
  }
  template <typename V>
  [[nodiscard]] static Result<PyObject*> make(V&& value) {
    PyTypeObject* own = ClassSlot<T>::type;
    if (!own) [[unlikely]] {
      Result<PyTypeObject*> found = result_type(mangled(), ClassSlot<T>::type, cpp_name);
      if (!found) return failure(std::move(found.error()));
      own = *found;
    }
    PyObject* made = fresh_instance<T>(own);
    if (!made) [[unlikely]]
      return detail::result_failed();
    auto* head = reinterpret_cast<InstanceHead*>(made);
    try {
      head->value = new (inline_storage<T>(made)) T(std::forward<V>(value));
    } catch (...) {
      Py_DECREF(made);
      throw;
    }
    head->storage = static_cast<std::uint8_t>(Storage::inline_value);
    return made;
  }
  [[nodiscard]] static Result<PyObject*> refer(T* value, PyObject* parent) {
    if (!value) return Py_NewRef(Py_None);
    Result<PyTypeObject*> type_ = type();
    if (!type_) [[unlikely]]
      return failure(std::move(type_.error()));
    // A method that returns *this returns its own object.
    if (parent && reinterpret_cast<InstanceHead*>(parent)->value == value &&
        (Py_TYPE(parent) == *type_ || PyType_IsSubtype(Py_TYPE(parent), *type_)))
      return Py_NewRef(parent);
    return wrap<T>(*type_, value, Storage::borrowed, parent);
  }
};

}  // namespace detail

// A bound class by reference or by value: the body gets the instance's own
// object (T&, const T&) or a copy (T).
template <BoundClass T>
struct Converter<T> : detail::ClassConverterBase<T> {
  using Base = detail::ClassConverterBase<T>;
  using Holder = T*;

  [[gnu::always_inline]] static bool exact(PyObject* obj, T*& out) noexcept {
    return Base::exact_pointer(obj, out);
  }
  [[nodiscard]] static Result<void> convert(PyObject* obj, std::string_view name, T*& out) {
    Result<T*> value = Base::pointer(obj, name);
    if (!value) [[unlikely]]
      return failure(std::move(value.error()));
    out = *value;
    return {};
  }
  [[gnu::always_inline]] static T& get(T* value) noexcept { return *value; }

  // Results: moved or copied into a new instance.
  [[nodiscard]] static Result<PyObject*> to_python(T&& value) {
    return Base::make(std::move(value));
  }
  [[nodiscard]] static Result<PyObject*> to_python(const T& value) { return Base::make(value); }
};

// A pointer to a bound class: the instance's object; None is not one (take a
// std::optional<T*> for that). A pointer result is copied, None for null.
template <BoundClass T>
struct Converter<T*> : detail::ClassConverterBase<std::remove_const_t<T>> {
  using U = std::remove_const_t<T>;
  using Base = detail::ClassConverterBase<U>;

  [[gnu::always_inline]] static bool exact(PyObject* obj, T*& out) noexcept {
    U* value;
    if (!Base::exact_pointer(obj, value)) return false;
    out = value;
    return true;
  }
  [[nodiscard]] static Result<T*> convert(PyObject* obj, std::string_view name) {
    Result<U*> value = Base::pointer(obj, name);
    if (!value) [[unlikely]]
      return failure(std::move(value.error()));
    return *value;
  }
  [[nodiscard]] static Result<PyObject*> to_python(T* value) {
    if (!value) return Py_NewRef(Py_None);
    return Base::make(*value);
  }
};

// Ownership taken: the instance deletes the object.
template <BoundClass T>
struct Converter<std::unique_ptr<T>> {
  static constexpr std::string_view python_name = Converter<T*>::python_name;
  [[nodiscard]] static Result<PyObject*> to_python(std::unique_ptr<T> value) {
    if (!value) return Py_NewRef(Py_None);
    Result<PyTypeObject*> type = detail::ClassConverterBase<T>::type();
    if (!type) [[unlikely]]
      return failure(std::move(type.error()));
    Result<PyObject*> made = detail::wrap<T>(*type, value.get(), Storage::heap, nullptr);
    if (made) (void)value.release();
    return made;
  }
};

namespace detail {

// An __init__'s object: not constructed yet, or constructed before (a second
// __init__ call, which replaces the value, as a Python class's would).
template <typename T>
struct Unconstructed {
  PyObject* self;

  template <typename... Args>
  void construct(Args&&... args) const {
    destroy_value<T>(self);
    auto* head = reinterpret_cast<InstanceHead*>(self);
    head->value = new (inline_storage<T>(self)) T(std::forward<Args>(args)...);
    head->storage = static_cast<std::uint8_t>(Storage::inline_value);
  }
};

}  // namespace detail

template <typename T>
struct Converter<detail::Unconstructed<T>> {
  static constexpr std::string_view python_name = "object";
  using Holder = PyObject*;
  [[gnu::always_inline]] static bool exact(PyObject* obj, PyObject*& out) noexcept {
    out = obj;
    return true;
  }
  [[nodiscard]] static Result<void> convert(PyObject* obj, std::string_view, PyObject*& out) {
    out = obj;
    return {};
  }
  [[gnu::always_inline]] static detail::Unconstructed<T> get(PyObject* obj) noexcept {
    return {obj};
  }
};

namespace detail {

template <typename T, typename... Args>
void construct_with(Unconstructed<T> target, Args... args) {
  target.construct(std::move(args)...);
}

}  // namespace detail

// The member kinds, as KRENN_CLASS lists them.
enum class MemberKind : std::uint8_t {
  init,
  method,
  static_method,
  field,
  readonly,
  property,
  base
};

template <MemberKind K, auto body, typename Decl, auto setter = nullptr>
struct Member {
  static constexpr MemberKind kind = K;
  static constexpr auto function = body;
  static constexpr auto set_function = setter;
  Decl decl;
};

// A constructor taking Args, as the parameters say.
template <typename Decl, typename... Args>
struct InitMember {
  static constexpr MemberKind kind = MemberKind::init;
  Decl decl;
};

template <typename... Args, typename... Items>
consteval auto init(Items... items) {
  using Decl = Declaration<9, 1, Items...>;
  return InitMember<Decl, Args...>{Decl("__init__", "", items...)};
}

template <auto f, std::size_t N, std::size_t D = 1, typename... Items>
consteval auto method(const char (&name)[N], const char (&doc)[D] = "", Items... items) {
  return Member<MemberKind::method, f, Declaration<N, D, Items...>>{
      Declaration<N, D, Items...>(name, doc, items...)};
}

template <auto f, std::size_t N, std::size_t D = 1, typename... Items>
consteval auto static_method(const char (&name)[N], const char (&doc)[D] = "", Items... items) {
  return Member<MemberKind::static_method, f, Declaration<N, D, Items...>>{
      Declaration<N, D, Items...>(name, doc, items...)};
}

template <auto m, std::size_t N, std::size_t D = 1>
consteval auto field(const char (&name)[N], const char (&doc)[D] = "") {
  return Member<MemberKind::field, m, Declaration<N, D>>{Declaration<N, D>(name, doc)};
}

template <auto m, std::size_t N, std::size_t D = 1>
consteval auto readonly(const char (&name)[N], const char (&doc)[D] = "") {
  return Member<MemberKind::readonly, m, Declaration<N, D>>{Declaration<N, D>(name, doc)};
}

template <auto get, auto set = nullptr, std::size_t N, std::size_t D = 1>
consteval auto property(const char (&name)[N], const char (&doc)[D] = "") {
  return Member<MemberKind::property, get, Declaration<N, D>, set>{Declaration<N, D>(name, doc)};
}

// A class's members as KRENN_CLASS lists them: an aggregate whose members are
// public, so that each one can key its entry's template.
template <typename... Ts>
struct MemberList {};
template <typename T, typename... Rest>
struct MemberList<T, Rest...> {
  T first;
  MemberList<Rest...> rest;
};
constexpr MemberList<> members() { return {}; }
template <typename T, typename... Rest>
constexpr MemberList<T, Rest...> members(T first, Rest... rest) {
  return {first, members(rest...)};
}
template <std::size_t I, typename... Ts>
constexpr const auto& member(const MemberList<Ts...>& list) {
  if constexpr (I == 0)
    return list.first;
  else
    return member<I - 1>(list.rest);
}

template <typename B>
struct BaseMember {
  static constexpr MemberKind kind = MemberKind::base;
  using type = B;
};
template <typename B>
inline constexpr BaseMember<B> base{};

}  // namespace krenn

#include "krenn/class_impl.hpp"
