#include "impl/extract_argument.hpp"

#include <cstring>
#include <vector>

#include "err/format.hpp"

namespace krenn {

namespace {

[[gnu::cold, noreturn]] void slot_out_of_range(std::size_t len, std::size_t index) {
  panic_owned("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index));
}

// Fills a slot (the count was checked on entry); true when it already held a value.
[[nodiscard]] inline bool fill_slot(std::span<PyObject*> slots, std::size_t index,
                                    PyObject* value) {
  bool taken = slots[index] != nullptr;
  slots[index] = value;
  return taken;
}

[[nodiscard]] inline bool same_text(std::string_view name, const char* data, Py_ssize_t size) {
  if (name.size() != static_cast<std::size_t>(size)) return false;
  // Parameter names are short: a byte loop beats a call to memcmp.
  for (std::size_t i = 0; i < name.size(); ++i)
    if (name[i] != data[i]) return false;
  return true;
}

// A compact ASCII str is its own UTF-8: the same bytes that
// PyUnicode_AsUTF8AndSize would give, without the call.
[[nodiscard]] inline const char* keyword_utf8(PyObject* keyword, Py_ssize_t& size) {
  if (PyUnicode_IS_COMPACT_ASCII(keyword)) [[likely]] {
    size = PyUnicode_GET_LENGTH(keyword);
    return static_cast<const char*>(PyUnicode_DATA(keyword));
  }
  return PyUnicode_AsUTF8AndSize(keyword, &size);
}

[[gnu::cold]] PyErr keyword_not_text(PyObject* keyword) {
  return new_conversion_error(new_ref(reinterpret_cast<PyObject*>(Py_TYPE(keyword))),
                              std::string_view("PyString"));
}

[[gnu::cold]] PyErr keyword_not_utf8(const ParamSpec& spec, PyObject* keyword) {
  PyErr encode_error = fetch_error();
  if (is_memory_error(encode_error)) return encode_error;
  drop_error(std::move(encode_error));
  return error_unmatched_keyword(spec, keyword);
}

[[gnu::cold]] Result<void> check_required(const ParamSpec& spec, Py_ssize_t nargs,
                                          std::span<PyObject*> slots) {
  std::vector<std::string_view> missing;
  if (static_cast<std::size_t>(nargs) < spec.required_positional_count) {
    // The slots below nargs hold the positional arguments, so this lists the
    // empty required slots only.
    for (std::size_t i = 0; i < spec.required_positional_count; ++i)
      if (!slots[i]) missing.push_back(spec.positional_names[i]);
    if (!missing.empty()) return failure(error_missing_required(spec, "positional", missing));
  }
  std::size_t base = spec.positional_names.size();
  for (std::size_t k = 0; k < spec.keyword_only.size(); ++k)
    if (spec.keyword_only[k].required && !slots[base + k])
      missing.push_back(spec.keyword_only[k].name);
  if (!missing.empty()) return failure(error_missing_required(spec, "keyword", missing));
  return {};
}

[[nodiscard]] inline bool required_filled(const ParamSpec& spec, Py_ssize_t nargs,
                                          std::span<PyObject*> slots) {
  for (std::size_t i = static_cast<std::size_t>(nargs); i < spec.required_positional_count; ++i)
    if (!slots[i]) return false;
  std::size_t base = spec.positional_names.size();
  for (std::size_t k = 0; k < spec.keyword_only.size(); ++k)
    if (spec.keyword_only[k].required && !slots[base + k]) return false;
  return true;
}

}  // namespace

std::string call_display_name(const ParamSpec& spec) {
  std::string name;
  if (spec.class_name) {
    name += *spec.class_name;
    name += '.';
  }
  name += spec.function_name;
  name += "()";
  return name;
}

void append_name_list(std::string& text, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() >= 3) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
}

PyErr error_too_many_positional(const ParamSpec& spec, Py_ssize_t given) {
  std::string text = call_display_name(spec);
  std::size_t count = spec.positional_names.size();
  if (spec.required_positional_count == count) {
    text += " takes " + std::to_string(count);
  } else {
    text += " takes from " + std::to_string(spec.required_positional_count) + " to " +
            std::to_string(count);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
          " given";
  return type_error_from_text(std::move(text));
}

PyErr error_duplicate_argument(const ParamSpec& spec, std::string_view keyword) {
  std::string text = call_display_name(spec);
  text += " got multiple values for argument '";
  text += keyword;
  text += '\'';
  return type_error_from_text(std::move(text));
}

PyErr error_unmatched_keyword(const ParamSpec& spec, PyObject* keyword) {
  std::string text = call_display_name(spec);
  text += " got an unexpected keyword argument '";
  if (Result<void> shown = display_object(keyword, text); !shown) [[unlikely]]
    return std::move(shown.error());
  text += '\'';
  return type_error_from_text(std::move(text));
}

PyErr error_positional_only_by_keyword(const ParamSpec& spec,
                                       std::span<const std::string_view> names) {
  std::string text = call_display_name(spec);
  text += " got some positional-only arguments passed as keyword arguments: ";
  append_name_list(text, names);
  return type_error_from_text(std::move(text));
}

PyErr error_missing_required(const ParamSpec& spec, std::string_view kind,
                             std::span<const std::string_view> names) {
  std::string text = call_display_name(spec);
  text += " missing " + std::to_string(names.size()) + " required ";
  text += kind;
  text += names.size() == 1 ? " argument: " : " arguments: ";
  append_name_list(text, names);
  return type_error_from_text(std::move(text));
}

Result<void> bind_fastcall_arguments(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t positional = spec.positional_names.size();
  const std::size_t given = static_cast<std::size_t>(nargs);
  if (slots.size() < slot_count(spec)) [[unlikely]]
    slot_out_of_range(slots.size(), slots.size());
  if (args) {
    std::size_t n = given < positional ? given : positional;
    for (std::size_t i = 0; i < n; ++i) (void)fill_slot(slots, i, args[i]);
  }
  if (given > positional) [[unlikely]]
    return failure(error_too_many_positional(spec, nargs));

  if (kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    std::vector<std::string_view> positional_only_given;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
      if (!keyword) [[unlikely]]
        api_call_failed();
      PyObject* value = args[nargs + i];
      if (!PyUnicode_Check(keyword)) [[unlikely]]
        return failure(keyword_not_text(keyword));
      Py_ssize_t size = 0;
      const char* data = keyword_utf8(keyword, size);
      if (!data) [[unlikely]]
        return failure(keyword_not_utf8(spec, keyword));
      std::string_view text(data, static_cast<std::size_t>(size));

      bool matched = false;
      for (std::size_t k = 0; k < spec.keyword_only.size(); ++k) {
        if (!same_text(spec.keyword_only[k].name, data, size)) continue;
        if (fill_slot(slots, positional + k, value)) [[unlikely]]
          return failure(error_duplicate_argument(spec, text));
        matched = true;
        break;
      }
      if (matched) continue;
      for (std::size_t j = 0; j < positional; ++j) {
        if (!same_text(spec.positional_names[j], data, size)) continue;
        if (j < spec.positional_only_count) [[unlikely]] {
          positional_only_given.push_back(text);
        } else if (fill_slot(slots, j, value)) [[unlikely]] {
          return failure(error_duplicate_argument(spec, text));
        }
        matched = true;
        break;
      }
      if (!matched) [[unlikely]]
        return failure(error_unmatched_keyword(spec, keyword));
    }
    if (!positional_only_given.empty()) [[unlikely]]
      return failure(error_positional_only_by_keyword(spec, positional_only_given));
  }

  if (!required_filled(spec, nargs, slots)) [[unlikely]]
    return check_required(spec, nargs, slots);
  return {};
}

namespace {

// Exact ints of at most 64 bits, read from their digits: the same value and
// the same reference counts as the protocol path, without its calls.
[[nodiscard]] inline bool small_exact_int(PyObject* obj, std::uint64_t& out) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && PYLONG_BITS_IN_DIGIT == 30
  if (!PyLong_CheckExact(obj)) return false;
  Py_ssize_t size = Py_SIZE(obj);
  const digit* d = reinterpret_cast<PyLongObject*>(obj)->ob_digit;
  switch (size) {
    case 0: out = 0; return true;
    case 1: out = d[0]; return true;
    case 2: out = std::uint64_t{d[0]} | std::uint64_t{d[1]} << 30; return true;
    case 3:
      if (d[2] >> 4) return false;
      out = std::uint64_t{d[0]} | std::uint64_t{d[1]} << 30 | std::uint64_t{d[2]} << 60;
      return true;
    default: return false;
  }
#else
  (void)obj;
  (void)out;
  return false;
#endif
}

[[gnu::noinline]] Result<std::uint64_t> index_to_u64_protocol(PyObject* obj) {
  PyObject* index = PyNumber_Index(obj);
  if (!index) return failure(fetch_error());
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  std::optional<PyErr> err;
  if (value == static_cast<unsigned long long>(-1)) err = try_fetch_error();
  Py_DECREF(index);
  if (err) return failure(std::move(*err));
  return static_cast<std::uint64_t>(value);
}

}  // namespace

Result<std::uint64_t> index_to_u64(PyObject* obj) {
  std::uint64_t value;
  if (small_exact_int(obj, value)) [[likely]]
    return value;
  return index_to_u64_protocol(obj);
}

PyErr wrap_argument_error(std::string_view name, PyErr err) {
  PyObject* type = error_type(err);
  if (!PyExc_TypeError) api_call_failed();
  if (type != PyExc_TypeError) return err;
  std::string text = "argument '";
  text += name;
  text += "': ";
  if (Result<void> shown = display_object(error_value(err), text); !shown) [[unlikely]]
    return std::move(shown.error());
  PyErr wrapped = type_error_from_text(std::move(text));
  std::optional<PyErr> cause = error_cause(err);
  set_error_cause(wrapped, std::move(cause));
  drop_error(std::move(err));
  return wrapped;
}

}  // namespace krenn
