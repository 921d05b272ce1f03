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

[[gnu::cold, gnu::noinline]] PyErr argument_failed(std::string_view name, PyErr err) {
  return wrap_argument_error(name, std::move(err));
}

Result<PyObject*> sum_as_string(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, slot_count(sum_as_string_params)> slots;
  Result<PyObject* const*> bound =
      bind_arguments<sum_as_string_params>(args, nargs, kwnames, slots);
  if (!bound) [[unlikely]]
    return failure(std::move(bound.error()));
  Result<std::uint64_t> a = index_to_u64((*bound)[0]);
  if (!a) [[unlikely]]
    return failure(argument_failed(parameter_names[0], std::move(a.error())));
  Result<std::uint64_t> b = index_to_u64((*bound)[1]);
  if (!b) [[unlikely]]
    return failure(argument_failed(parameter_names[1], std::move(b.error())));
  return new_decimal_str(*a + *b);  // wraps modulo 2**64 by design
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
