// Module constants: a value of any type with a converter, made when the
// module is.
#pragma once

#include <Python.h>

#include <string_view>
#include <type_traits>

#include "krenn/function.hpp"
#include "krenn/module.hpp"
#include "krenn/type_name.hpp"

namespace krenn {

struct ConstantSpec {
  std::string_view name;
  Result<PyObject*> (*make)();
};

// record: a ConstantSpec.
[[nodiscard]] Result<void> add_constant_item(PyObject* module, const void* record);

namespace detail {
[[nodiscard, gnu::cold]] PyErr empty_constant(std::string_view name);
}  // namespace detail

template <const std::string_view& py_name, auto value>
struct Constant {
  using T = std::remove_cvref_t<decltype(value())>;
  // A string literal's pointer is never null: str, not str | None.
  using Shown = std::conditional_t<std::is_same_v<T, const char*>, std::string_view, T>;

  static Result<PyObject*> make() {
    Result<PyObject*> made = detail::to_python_result(value());
    if constexpr (detail::may_be_empty<T>())
      if (made && !*made) return failure(detail::empty_constant(py_name));
    return made;
  }

  // "constant", name, type.
  static constexpr void write_stub(detail::TextWriter& w) {
    w.put("constant\x1f");
    w.put(py_name);
    w.put("\x1f");
    w.put(detail::result_name_of<Shown>());
    w.put("\x1f\x1f");
    w.put(std::string_view("", 1));
  }
  static constexpr auto stub_record = detail::composed_text<&write_stub>;

  static constexpr ConstantSpec spec{.name = py_name, .make = &make};
};

}  // namespace krenn

// Declares the module constant py_name: the value of the expression after it,
// converted as a result is when the module is made. KRENN_MODULE lists it by
// py_name.
#define KRENN_CONSTANT(py_name, ...)                                                        \
  inline constexpr std::string_view py_name##_constant_name = #py_name;                     \
  using py_name##_constant =                                                                \
      ::krenn::Constant<py_name##_constant_name, +[] { return __VA_ARGS__; }>;              \
  KRENN_STUB_RECORD static constexpr auto py_name##_stub = py_name##_constant::stub_record; \
  KRENN_DECLARE_ITEM(py_name)                                                               \
  constexpr ::krenn::ModuleItem py_name##_item {                                            \
    &::krenn::add_constant_item, &py_name##_constant::spec                                  \
  }
