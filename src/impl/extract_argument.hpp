// Binding fast-call arguments to parameters, and converting them.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "err/err.hpp"

namespace krenn {

struct KeywordParam {
  std::string_view name;
  bool required;
};

// Static description of a native function's parameters.
struct ParamSpec {
  std::string_view function_name;
  std::span<const std::string_view> positional_names;
  std::span<const KeywordParam> keyword_only;
  std::optional<std::string_view> class_name;
  std::size_t positional_only_count;
  std::size_t required_positional_count;
};

[[nodiscard]] constexpr std::size_t slot_count(const ParamSpec& spec) noexcept {
  return spec.positional_names.size() + spec.keyword_only.size();
}

// Slots get borrowed references: one per positional name, then one per
// keyword-only parameter. NULL stays in optional slots that were not given.
// Too few slots is a panic before any slot is touched.
[[nodiscard]] Result<void> bind_fastcall_arguments(const ParamSpec& spec, PyObject* const* args,
                                                   Py_ssize_t nargs, PyObject* kwnames,
                                                   std::span<PyObject*> slots);

// The same for a static spec, with the slot count checked when compiling.
template <const ParamSpec& spec, std::size_t N>
[[nodiscard]] Result<void> bind_arguments(PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames, std::array<PyObject*, N>& slots) {
  static_assert(N == slot_count(spec), "one slot per parameter");
  return bind_fastcall_arguments(spec, args, nargs, kwnames, slots);
}

[[nodiscard]] std::string call_display_name(const ParamSpec& spec);
void append_name_list(std::string& text, std::span<const std::string_view> names);

[[nodiscard]] PyErr error_too_many_positional(const ParamSpec& spec, Py_ssize_t given);
[[nodiscard]] PyErr error_duplicate_argument(const ParamSpec& spec, std::string_view keyword);
[[nodiscard]] PyErr error_unmatched_keyword(const ParamSpec& spec, PyObject* keyword);
[[nodiscard]] PyErr error_positional_only_by_keyword(const ParamSpec& spec,
                                                     std::span<const std::string_view> names);
[[nodiscard]] PyErr error_missing_required(const ParamSpec& spec, std::string_view kind,
                                           std::span<const std::string_view> names);

[[nodiscard]] Result<std::uint64_t> index_to_u64(PyObject* obj);
[[nodiscard]] PyErr wrap_argument_error(std::string_view name, PyErr err);

}  // namespace krenn
