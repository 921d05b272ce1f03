// Submodules: a module of its own items inside another, importable by its
// dotted name once the parent is.
#pragma once

#include <Python.h>

#include <iterator>
#include <span>
#include <string_view>

#include "krenn/checks.hpp"
#include "krenn/module.hpp"

namespace krenn {

struct SubmoduleSpec {
  std::string_view name;  // with its NUL
  std::string_view doc;   // with its NUL
  std::span<const ModuleItem* const> items;
};

// record: a SubmoduleSpec.
[[nodiscard]] Result<void> add_submodule_item(PyObject* module, const void* record);

}  // namespace krenn

// Declares the submodule py_name with the doc and the items, listed as
// KRENN_MODULE lists them; a module lists it by py_name, which makes it
// <module>.<py_name>, in sys.modules too. Items are named by their Python
// names across the whole library, a submodule's as much as the module's: no
// two may share one.
#define KRENN_SUBMODULE(py_name, doc, ...)                                                 \
  static_assert(::krenn::detail::names_unqualified(#__VA_ARGS__),                          \
                "KRENN_SUBMODULE lists items by their Python names, without a namespace"); \
  static_assert(sizeof(::krenn::checks::ModuleListing<#__VA_ARGS__, doc>));                \
  KRENN_FOR_EACH(KRENN_DECLARE_ITEM, __VA_ARGS__)                                          \
  KRENN_STUB_RECORD static constexpr char py_name##_submodule_stub[] =                     \
      "submodule\x1f" #py_name "\x1f" doc "\x1f" #__VA_ARGS__;                             \
  static constexpr const ::krenn::ModuleItem* py_name##_submodule_items[] = {              \
      KRENN_FOR_EACH(KRENN_ITEM_ADDRESS, __VA_ARGS__) nullptr};                            \
  inline constexpr ::krenn::SubmoduleSpec py_name##_submodule_spec{                        \
      ::krenn::with_nul(#py_name), ::krenn::with_nul(doc),                                 \
      std::span(py_name##_submodule_items, std::size(py_name##_submodule_items) - 1)};     \
  KRENN_DECLARE_ITEM(py_name)                                                              \
  constexpr ::krenn::ModuleItem py_name##_item {                                           \
    &::krenn::add_submodule_item, &py_name##_submodule_spec                                \
  }
