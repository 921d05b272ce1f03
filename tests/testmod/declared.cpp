// Functions declared the way the shipped module's are, with positional-only,
// keyword-only and optional parameters, and a parameter type of its own.
#include "krenn/decimal.hpp"
#include "krenn/function.hpp"
#include "testmod.hpp"

namespace krenn {

// Any object, borrowed: a second parameter type, added from outside the frame.
template <>
struct Converter<PyObject*> {
  static constexpr std::string_view python_name = "object";
  static bool exact(PyObject* obj, PyObject*& out) noexcept { return out = obj, true; }
  static Result<PyObject*> convert(PyObject* obj, std::string_view) { return obj; }
};

namespace testing {

Result<PyObject*> mix_as_string(std::uint64_t a, std::optional<std::uint64_t> b, std::uint64_t c) {
  return new_decimal_str(a + b.value_or(0) + c);
}
KRENN_FUNCTION(mix_as_string, "Sums a, b (0 when left out) and c as string.",
               "a"_a.positional_only(), "b"_a, "c"_a.keyword_only());

Result<PyObject*> echo(PyObject* obj) { return Py_NewRef(obj); }
KRENN_FUNCTION(echo, "Returns obj.", "obj"_a.positional_only());

constexpr const MethodSpec* declared[] = {&mix_as_string_spec, &echo_spec};

// Not through add_functions: its lookup of __all__ would make PanicException
// at import, which tests of the type's first use must not see.
Result<void> add_declared_functions(PyObject* module) {
  for (auto specs : {std::span<const MethodSpec* const>(declared), converter_specs(),
                     callback_specs(), stdlib_specs()}) {
    for (const MethodSpec* spec : specs) {
      Result<PyObject*> function = new_function(*spec, module);
      if (!function) return failure(std::move(function.error()));
      if (PyModule_AddObjectRef(module, spec->name.data(), *function) != 0)
        return failure(fetch_error());
    }
  }
  return {};
}

}  // namespace testing
}  // namespace krenn
