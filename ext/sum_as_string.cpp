// sum_as_string(a, b): the decimal text of a + b modulo 2**64.
#include <Python.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "ext/functions.hpp"
#include "impl/extract_argument.hpp"
#include "impl/panic.hpp"
#include "types/decimal.hpp"

namespace krenn {

namespace {

constexpr std::array<std::string_view, 2> parameter_names{"a", "b"};

constexpr ParamSpec sum_as_string_params{
    .function_name = "sum_as_string",
    .positional_names = parameter_names,
    .keyword_only = {},
    .class_name = std::nullopt,
    .positional_only_count = 0,
    .required_positional_count = 2,
};

// Every call: binding, the integer protocol, and the errors.
[[gnu::noinline]] Result<PyObject*> sum_as_string_general(PyObject* const* args, Py_ssize_t nargs,
                                                          PyObject* kwnames) {
  std::array<PyObject*, slot_count(sum_as_string_params)> slots;
  Result<PyObject* const*> bound =
      bind_arguments<sum_as_string_params>(args, nargs, kwnames, slots);
  if (!bound) return failure(std::move(bound.error()));
  PyObject* const* values = *bound;
  Result<std::uint64_t> a = argument_to_u64(values[0], parameter_names[0]);
  if (!a) return failure(std::move(a.error()));
  Result<std::uint64_t> b = argument_to_u64(values[1], parameter_names[1]);
  if (!b) return failure(std::move(b.error()));
  return new_decimal_str(*a + *b);  // wraps modulo 2**64 by design
}

// Two exact ints in slot order take no detour.
Result<PyObject*> sum_as_string(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::uint64_t a, b;
  if (detail::in_slot_order<sum_as_string_params>(nargs, kwnames) && exact_u64(args[0], a) &&
      exact_u64(args[1], b)) [[likely]]
    return new_decimal_str(a + b);
  return sum_as_string_general(args, nargs, kwnames);
}

PyObject* sum_as_string_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return call_trampoline([&]() { return sum_as_string(args, nargs, kwnames); });
}

}  // namespace

constexpr MethodSpec sum_as_string_spec{
    .entry = sum_as_string_entry,
    .name = with_nul("sum_as_string"),
    .doc = with_nul("sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."),
    .flags = METH_FASTCALL | METH_KEYWORDS,
};

}  // namespace krenn
