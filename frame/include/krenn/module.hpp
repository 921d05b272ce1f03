// Function objects from static descriptions, and the module attribute helpers.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "krenn/boundary.hpp"
#include "krenn/checks.hpp"
#include "krenn/error.hpp"

namespace krenn {

using FastcallEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

// Static description of one native function. Texts are stored with their NUL
// so that CPython can use them in place.
struct MethodSpec {
  FastcallEntry entry;
  std::string_view name;
  std::string_view doc;
  std::int32_t flags;
};

// A NUL-terminated text for CPython: borrowed when the text already ends with
// its NUL, owned (a copy with the NUL added) otherwise.
class CText {
 public:
  explicit CText(const char* borrowed) noexcept : text_(borrowed) {}
  // A heap buffer rather than a std::string: its address survives moves.
  explicit CText(std::unique_ptr<char[]> owned) noexcept : text_(std::move(owned)) {}
  [[nodiscard]] const char* c_str() const noexcept {
    if (auto* b = std::get_if<const char*>(&text_)) return *b;
    return std::get_if<std::unique_ptr<char[]>>(&text_)->get();  // no throwing path
  }
  [[nodiscard]] bool is_owned() const noexcept {
    return std::holds_alternative<std::unique_ptr<char[]>>(text_);
  }

 private:
  std::variant<const char*, std::unique_ptr<char[]>> text_;
};

// A constant text together with its NUL, as MethodSpec stores it.
template <std::size_t N>
consteval std::string_view with_nul(const char (&text)[N]) {
  return std::string_view(text, N);
}

[[nodiscard]] Result<CText> make_c_text(std::string_view text, std::string_view message);

struct MethodRecord {
  PyMethodDef def;
  CText name;
  CText doc;
};

[[nodiscard]] Result<MethodRecord> build_method_record(const MethodSpec& spec);
[[nodiscard]] Result<std::string_view> module_name(PyObject* module);
// Pool references.
[[nodiscard]] Result<PyObject*> new_function(const MethodSpec& spec, PyObject* module);
[[nodiscard]] Result<void> add_function(PyObject* module, PyObject* function);
// new_function and add_function for each, in order.
[[nodiscard]] Result<void> add_functions(PyObject* module,
                                         std::span<const MethodSpec* const> specs);
[[nodiscard]] Result<PyObject*> module_all(PyObject* module);

[[nodiscard]] Result<Owned> get_attr(PyObject* object, Owned name);
[[nodiscard]] Result<void> set_attr(PyObject* object, Owned name, Owned value);
[[nodiscard]] Result<void> set_attr_text(PyObject* object, std::string_view name, Owned value);
[[nodiscard]] Result<void> list_append(PyObject* list, Owned item);
[[nodiscard]] Result<void> list_append_text(PyObject* list, std::string_view text);
// value as the module's attribute name, and name in its __all__.
[[nodiscard]] Result<void> add_named(PyObject* module, std::string_view name, Owned value);

// What a module holds, in its order: a function, a class, ... Each kind adds
// itself by one call, so a module links only the kinds it has.
struct ModuleItem {
  Result<void> (*add)(PyObject* module, const void* record);
  const void* record;
};
// record: a MethodSpec.
[[nodiscard]] Result<void> add_function_item(PyObject* module, const void* record);
[[nodiscard]] Result<void> add_items(PyObject* module, std::span<const ModuleItem* const> items);
// A module without items still has the __all__ its stub declares.
[[nodiscard]] Result<void> add_empty_all(PyObject* module);

// The one static record of a module. CPython writes into the head of def, so
// the record is mutable static data, never freed.
struct ModuleSpec {
  PyModuleDef def;
  Result<void> (*body)(PyObject* module);
  std::atomic<std::uint8_t> initialized;
};

inline constexpr int module_api_version = 1013;

namespace detail {
// No "::" in a stringized list of names.
constexpr bool names_unqualified(std::string_view list) {
  for (std::size_t i = 0; i + 1 < list.size(); ++i)
    if (list[i] == ':' && list[i + 1] == ':') return false;
  return true;
}
}  // namespace detail

// A new module, at most once per process and spec.
[[nodiscard]] Result<PyObject*> make_module(ModuleSpec& spec);
// make_module as a module's export runs it: through the entry boundary. Out of
// line, so that each module's one export stays a jump.
[[nodiscard]] PyObject* module_entry(ModuleSpec& spec);

}  // namespace krenn

// Applies macro to each argument, for lists of up to 256.
#define KRENN_PARENS ()
#define KRENN_EXPAND(...) KRENN_EXPAND3(KRENN_EXPAND3(KRENN_EXPAND3(KRENN_EXPAND3(__VA_ARGS__))))
#define KRENN_EXPAND3(...) KRENN_EXPAND2(KRENN_EXPAND2(KRENN_EXPAND2(KRENN_EXPAND2(__VA_ARGS__))))
#define KRENN_EXPAND2(...) KRENN_EXPAND1(KRENN_EXPAND1(KRENN_EXPAND1(KRENN_EXPAND1(__VA_ARGS__))))
#define KRENN_EXPAND1(...) __VA_ARGS__
#define KRENN_FOR_EACH(macro, ...) __VA_OPT__(KRENN_EXPAND(KRENN_FOR_EACH_NEXT(macro, __VA_ARGS__)))
#define KRENN_FOR_EACH_NEXT(macro, first, ...) \
  macro(first) __VA_OPT__(KRENN_FOR_EACH_AGAIN KRENN_PARENS(macro, __VA_ARGS__))
#define KRENN_FOR_EACH_AGAIN() KRENN_FOR_EACH_NEXT

// A declaration's record for the module's stub (krenn_add_module writes it
// after linking, then takes the records out): in a section whose flags say it
// is never loaded, the '#' hiding the compiler's own.
#if defined(__ELF__) && defined(__arm__)
#define KRENN_STUB_RECORD [[gnu::used, gnu::section(".krenn_stub,\"\",%progbits #")]]
#elif defined(__ELF__)
#define KRENN_STUB_RECORD [[gnu::used, gnu::section(".krenn_stub,\"\",@progbits #")]]
#else
#define KRENN_STUB_RECORD [[maybe_unused]]
#endif

// An item's symbol is named by its Python name, so KRENN_MODULE finds it in
// whichever namespace and source it was declared.
#define KRENN_DECLARE_ITEM(py_name) \
  extern const ::krenn::ModuleItem py_name##_item asm("krenn_item_" #py_name);
#define KRENN_ITEM_ADDRESS(py_name) &py_name##_item,

// Defines the module `name` and its one export, PyInit_<name>: the module has
// the doc and the items, named by their Python names (functions of KRENN_DEF
// and KRENN_FUNCTION, classes of KRENN_CLASS, KRENN_ENUM, KRENN_EXCEPTION,
// KRENN_CONSTANT and KRENN_SUBMODULE, in any namespace and any source of the
// module), in that order and in __all__.
#define KRENN_MODULE(name, doc, ...)                                                              \
  static_assert(::krenn::detail::names_unqualified(#__VA_ARGS__),                                 \
                "KRENN_MODULE lists items by their Python names, without a namespace");           \
  static_assert(sizeof(::krenn::checks::ModuleListing<#__VA_ARGS__, doc>));                       \
  KRENN_FOR_EACH(KRENN_DECLARE_ITEM, __VA_ARGS__)                                                 \
  KRENN_STUB_RECORD static constexpr char name##_module_stub[] =                                  \
      "module\x1f" #name "\x1f" doc "\x1f" #__VA_ARGS__;                                          \
  /* The null at the end keeps the array from being empty. */                                     \
  static constexpr const ::krenn::ModuleItem* name##_module_items[] = {                           \
      KRENN_FOR_EACH(KRENN_ITEM_ADDRESS, __VA_ARGS__) nullptr};                                   \
  static constinit ::krenn::ModuleSpec name##_module_spec{                                        \
      .def = {PyModuleDef_HEAD_INIT, #name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr}, \
      .body =                                                                                     \
          [](PyObject* module) {                                                                  \
            if constexpr (std::size(name##_module_items) == 1)                                    \
              return ::krenn::add_empty_all(module);                                              \
            else                                                                                  \
              return ::krenn::add_items(                                                          \
                  module, std::span(name##_module_items, std::size(name##_module_items) - 1));    \
          },                                                                                      \
      .initialized = 0,                                                                           \
  };                                                                                              \
  PyMODINIT_FUNC PyInit_##name() { return ::krenn::module_entry(name##_module_spec); }            \
  static_assert(true, "a semicolon after the macro")
