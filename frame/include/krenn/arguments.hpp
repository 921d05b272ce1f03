// Binding fast-call arguments to parameters, and converting them. The common
// shapes are inline; everything else, and every error, is out of line.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "krenn/error.hpp"

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
  // 1 for a method: the counts in error texts include its object, as Python's do.
  std::size_t self_count = 0;
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

namespace detail {

// The interned strs of a spec's positional names, made at its first keyword
// call and kept for the process: names the compiler interned match by identity.
void intern_names(std::span<const std::string_view> names, PyObject** out);

// Whether a call passes every positional parameter, in order, positionally or
// by the interned names: then args already holds the values in slot order.
template <const ParamSpec& spec>
[[nodiscard]] inline bool in_slot_order(Py_ssize_t nargs, PyObject* kwnames) {
  constexpr std::size_t count = spec.positional_names.size();
  if (!kwnames) [[likely]]
    return static_cast<std::size_t>(nargs) == count;
  static constinit PyObject* interned[count] = {};
  if (!interned[0]) [[unlikely]]
    intern_names(spec.positional_names, interned);
  Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  if (static_cast<std::size_t>(nargs + nkw) != count) return false;
  PyObject* const* keys = &PyTuple_GET_ITEM(kwnames, 0);
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (keys[k] != interned[nargs + k]) return false;
  return nargs >= static_cast<Py_ssize_t>(spec.positional_only_count);
}

}  // namespace detail

namespace detail {

// An error text composed at its first use and kept for the process: calls
// with positional arguments only fail in a few ways that depend on the count
// alone.
struct CachedText {
  const char* data;
  std::size_t size;
  bool ascii;
};

[[nodiscard]] PyErr missing_positional_error(const ParamSpec& spec, std::size_t nargs,
                                             CachedText& cache);
[[nodiscard]] PyErr too_many_positional_error(const ParamSpec& spec, Py_ssize_t given,
                                              CachedText& prefix);

// The errors of a call without keywords, as the generic binding would raise
// them; nothing when the call binds.
template <const ParamSpec& spec>
[[gnu::noinline]] std::optional<PyErr> positional_call_error(Py_ssize_t nargs) {
  constexpr std::size_t required = spec.required_positional_count;
  auto given = static_cast<std::size_t>(nargs);
  if (given > spec.positional_names.size()) {
    static constinit CachedText prefix{};
    return too_many_positional_error(spec, nargs, prefix);
  }
  if constexpr (required > 0) {
    static constinit CachedText missing[required] = {};
    if (given < required) return missing_positional_error(spec, given, missing[given]);
  }
  return std::nullopt;
}

}  // namespace detail

// For a static spec: the bound arguments in slot order, either args itself
// (the common shapes) or the slots, filled. The slot count is checked when
// compiling.
template <const ParamSpec& spec, std::size_t N>
[[nodiscard]] inline Result<PyObject* const*> bind_arguments(PyObject* const* args,
                                                             Py_ssize_t nargs, PyObject* kwnames,
                                                             std::array<PyObject*, N>& slots) {
  static_assert(N == slot_count(spec), "one slot per parameter");
  if constexpr (spec.keyword_only.empty() && N > 0) {
    if (detail::in_slot_order<spec>(nargs, kwnames)) [[likely]]
      return args;
  }
  if (!kwnames && spec.keyword_only.empty()) {
    if (std::optional<PyErr> failed = detail::positional_call_error<spec>(nargs)) [[unlikely]]
      return failure(std::move(*failed));
  }
  slots = {};
  if (Result<void> bound = bind_fastcall_arguments(spec, args, nargs, kwnames, slots); !bound)
      [[unlikely]]
    return failure(std::move(bound.error()));
  return slots.data();
}

[[nodiscard]] PyErr error_too_many_positional(const ParamSpec& spec, Py_ssize_t given);
[[nodiscard]] PyErr error_duplicate_argument(const ParamSpec& spec, std::string_view keyword);
[[nodiscard]] PyErr error_unmatched_keyword(const ParamSpec& spec, PyObject* keyword);
[[nodiscard]] PyErr error_positional_only_by_keyword(const ParamSpec& spec,
                                                     std::span<const std::string_view> names);
[[nodiscard]] PyErr error_missing_required(const ParamSpec& spec, std::string_view kind,
                                           std::span<const std::string_view> names);

namespace detail {

[[nodiscard]] Result<std::uint64_t> index_to_u64_protocol(PyObject* obj);

}  // namespace detail

// Exact ints of at most 64 bits, read from their digits: the same value and
// reference counts as the integer protocol, without its calls.
[[nodiscard]] inline bool exact_u64(PyObject* obj, std::uint64_t& out) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && PYLONG_BITS_IN_DIGIT == 30
  if (!PyLong_CheckExact(obj)) return false;
  const digit* d = reinterpret_cast<PyLongObject*>(obj)->ob_digit;
  Py_ssize_t size = Py_SIZE(obj);
  if (static_cast<std::size_t>(size) < 2) {  // 0 or 1 digit; negative sizes fail
    out = size ? d[0] : 0;
    return true;
  }
  if (size == 2) {
    out = std::uint64_t{d[0]} | std::uint64_t{d[1]} << 30;
    return true;
  }
  if (size == 3 && !(d[2] >> 4)) {
    out = std::uint64_t{d[0]} | std::uint64_t{d[1]} << 30 | std::uint64_t{d[2]} << 60;
    return true;
  }
#else
  (void)obj;
  (void)out;
#endif
  return false;
}

// Through the interpreter's integer protocol (__index__).
[[nodiscard]] inline Result<std::uint64_t> index_to_u64(PyObject* obj) {
  if (std::uint64_t value; exact_u64(obj, value)) [[likely]]
    return value;
  return detail::index_to_u64_protocol(obj);
}

[[nodiscard]] PyErr wrap_argument_error(std::string_view name, PyErr err);

// index_to_u64, and wrap_argument_error on its error, in one: an object
// without __index__ gets its wrapped error at once.
[[nodiscard]] Result<std::uint64_t> argument_to_u64(PyObject* obj, std::string_view name);

}  // namespace krenn
