// C++ enums as Python enums. KRENN_ENUM declares one from its values; the
// converter takes a member of that Python enum and gives the member for a
// C++ value, through a table of the members made when the module is. Krenn
// modules of one frame version share the tables, as they share classes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "krenn/converter.hpp"
#include "krenn/function.hpp"
#include "krenn/module.hpp"
#include "krenn/type_name.hpp"

namespace krenn {

// One member: the C++ value and its Python name.
template <typename E>
struct EnumValue {
  E value;
  const char* name;
};
template <typename E>
requires std::is_enum_v<E>
consteval EnumValue<E> value(E value, const char* name) { return {value, name}; }

// Among KRENN_ENUM's values: the class is an enum.IntEnum.
struct IntEnumTag {};
inline constexpr IntEnumTag int_enum{};

struct EnumMember {
  std::int64_t value;  // the underlying value's bits
  const char* name;
};

// The members as objects, made with the class; kept for the process.
struct EnumTable {
  PyTypeObject* type;
  std::size_t size;
  bool dense;  // values[i] == values[0] + i
  PyObject* const* members;
  const std::int64_t* values;
};

struct EnumSpec {
  std::string_view name;  // with its NUL
  std::string_view doc;   // with its NUL
  bool int_form;
  bool is_unsigned;
  std::span<const EnumMember> members;
  const std::type_info* type;
  const EnumTable** slot;
};

// record: an EnumSpec.
[[nodiscard]] Result<void> add_enum_item(PyObject* module, const void* record);

namespace detail {

template <typename E>
struct EnumSlot {
  static inline constinit const EnumTable* table = nullptr;
};

template <std::size_t N>
struct EnumList {
  std::array<EnumMember, N> members;
  bool int_form;
};

template <typename E, typename Item>
inline constexpr bool is_enum_value = std::is_same_v<Item, EnumValue<E>>;

template <typename E, typename... Items>
consteval auto enum_list(Items... items) {
  static_assert(((is_enum_value<E, Items> || std::is_same_v<Items, IntEnumTag>)&&...),
                "KRENN_ENUM takes krenn::value(CppEnum::x, \"NAME\") and krenn::int_enum");
  constexpr std::size_t count = (std::size_t{0} + ... + (is_enum_value<E, Items> ? 1 : 0));
  static_assert(count > 0, "an enum needs at least one krenn::value");
  EnumList<count> out{};
  std::size_t at = 0;
  (
      [&] {
        if constexpr (is_enum_value<E, Items>) {
          out.members[at++] = {static_cast<std::int64_t>(std::to_underlying(items.value)),
                               items.name};
        } else {
          out.int_form = true;
        }
      }(),
      ...);
  return out;
}

// The member for a value, or null.
[[gnu::always_inline]] inline PyObject* enum_member(const EnumTable& t, std::int64_t v) noexcept {
  if (t.dense) {
    std::uint64_t i = static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(t.values[0]);
    return i < t.size ? t.members[i] : nullptr;
  }
  for (std::size_t i = 0; i < t.size; ++i)
    if (t.values[i] == v) return t.members[i];
  return nullptr;
}

// The table that another krenn module made for the enum, stored in slot; null
// when none did.
[[nodiscard, gnu::cold]] const EnumTable* find_enum(const char* mangled, const EnumTable*& slot);
// A parameter that is not a member: the conversion error.
[[nodiscard, gnu::cold]] PyErr enum_argument_error(PyObject* obj, const EnumTable* table,
                                                   std::string_view name,
                                                   std::string_view cpp_name);
// A result with no member: bound nowhere (TypeError) or no such value (ValueError).
[[nodiscard, gnu::cold]] std::unexpected<PyErr> enum_result_error(const EnumTable* table,
                                                                  std::int64_t value,
                                                                  bool is_unsigned,
                                                                  std::string_view cpp_name);

}  // namespace detail

// An enum bound by KRENN_ENUM: by value both ways. A parameter takes only the
// members, also of an IntEnum: a plain int is refused as any other object.
template <typename E>
requires std::is_enum_v<E>
struct Converter<E> {
  static constexpr std::string_view python_name{detail::stub_type_ref<E>.data(),
                                                detail::stub_type_ref<E>.size()};
  static constexpr bool is_unsigned = std::is_unsigned_v<std::underlying_type_t<E>>;

  [[gnu::always_inline]] static bool exact(PyObject* obj, E& out) noexcept {
    const EnumTable* t = detail::EnumSlot<E>::table;
    if (!t || Py_TYPE(obj) != t->type) return false;
    for (std::size_t i = 0; i < t->size; ++i) {
      if (t->members[i] == obj) {
        out = static_cast<E>(t->values[i]);
        return true;
      }
    }
    return false;
  }
  [[nodiscard]] static Result<E> convert(PyObject* obj, std::string_view name) {
    E out;
    if (exact(obj, out)) return out;
    if (!detail::EnumSlot<E>::table &&
        detail::find_enum(typeid(E).name(), detail::EnumSlot<E>::table) && exact(obj, out))
      return out;
    return failure(detail::enum_argument_error(obj, detail::EnumSlot<E>::table, name,
                                               detail::cpp_type_name<E>()));
  }
  [[nodiscard]] static Result<PyObject*> to_python(E value) {
    auto v = static_cast<std::int64_t>(std::to_underlying(value));
    const EnumTable* t = detail::EnumSlot<E>::table;
    if (!t) [[unlikely]]
      t = detail::find_enum(typeid(E).name(), detail::EnumSlot<E>::table);
    if (t) [[likely]]
      if (PyObject* member = detail::enum_member(*t, v)) [[likely]]
        return Py_NewRef(member);
    return detail::enum_result_error(t, v, is_unsigned, detail::cpp_type_name<E>());
  }
};

template <typename E, const auto& list, const std::string_view& py_name, const auto& doc>
struct Enum {
  static constexpr auto name_text = [] {
    std::array<char, py_name.size() + 1> out{};
    for (std::size_t i = 0; i < py_name.size(); ++i) out[i] = py_name[i];
    return out;
  }();
  static constexpr bool is_unsigned = Converter<E>::is_unsigned;

  static_assert(!checks::has_nul(doc.view()), "an enum doc must not hold a NUL byte");
  static_assert(checks::valid_utf8(doc.view()), "an enum doc must be valid UTF-8");

  // "enum", name, type, "enum.Enum:RED=0,GREEN=1", doc.
  static constexpr void write_stub(detail::TextWriter& w) {
    w.put("enum\x1f");
    w.put(py_name);
    w.put("\x1f");
    w.put(Converter<E>::python_name);
    w.put(list.int_form ? "\x1f"
                          "enum.IntEnum:"
                        : "\x1f"
                          "enum.Enum:");
    bool first = true;
    for (const EnumMember& m : list.members) {
      if (!first) w.put(",");
      first = false;
      w.put(m.name);
      w.put("=");
      w.put_int(m.value, is_unsigned);
    }
    w.put("\x1f");
    w.put(doc.with_nul());
  }
  static constexpr auto stub_record = detail::composed_text<&write_stub>;

  static constexpr EnumSpec spec{
      .name = std::string_view(name_text.data(), name_text.size()),
      .doc = doc.with_nul(),
      .int_form = list.int_form,
      .is_unsigned = is_unsigned,
      .members = list.members,
      .type = &typeid(E),
      .slot = &detail::EnumSlot<E>::table,
  };
};

}  // namespace krenn

// Declares the Python enum py_name (an enum.Enum subclass) for the C++ enum
// CppEnum, with doc and its members: krenn::value(CppEnum::red, "RED"), ...,
// and krenn::int_enum among them for an enum.IntEnum. KRENN_MODULE lists it
// by py_name.
#define KRENN_ENUM(py_name, CppEnum, doc, ...)                                                  \
  inline constexpr auto py_name##_enum_list = ::krenn::detail::enum_list<CppEnum>(__VA_ARGS__); \
  inline constexpr std::string_view py_name##_enum_name = #py_name;                             \
  inline constexpr ::krenn::FixedText py_name##_enum_doc{doc};                                  \
  using py_name##_enum =                                                                        \
      ::krenn::Enum<CppEnum, py_name##_enum_list, py_name##_enum_name, py_name##_enum_doc>;     \
  KRENN_STUB_RECORD static constexpr auto py_name##_stub = py_name##_enum::stub_record;         \
  KRENN_DECLARE_ITEM(py_name)                                                                   \
  constexpr ::krenn::ModuleItem py_name##_item { &::krenn::add_enum_item, &py_name##_enum::spec }
