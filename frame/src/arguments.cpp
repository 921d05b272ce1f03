#include "krenn/arguments.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "arguments_text.hpp"
#include "format.hpp"
#include "strings.hpp"

namespace krenn {

namespace {

[[gnu::cold, noreturn]] void slot_out_of_range(std::size_t len, std::size_t index) {
  TextBuffer text;
  text += "index out of bounds: the len is ";
  text.append_number(len);
  text += " but the index is ";
  text.append_number(index);
  panic_owned(std::string(text.view()));
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

// Names for an error text, at most `most` of them: on the stack for the usual
// few, in one allocation beyond. The slots stay unset until used.
class NameList {
 public:
  explicit NameList(std::size_t most) noexcept : most_(most) {}
  void push(std::string_view name) {
    if (size_ == capacity && !heap_) {
      heap_ = std::make_unique_for_overwrite<std::string_view[]>(most_);
      std::copy(inline_, inline_ + capacity, heap_.get());
      names_ = heap_.get();
    }
    std::construct_at(&names_[size_++], name);
  }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  operator std::span<const std::string_view>() const noexcept {  // NOLINT
    return {names_, size_};
  }

 private:
  static constexpr std::size_t capacity = 8;
  union {
    std::string_view inline_[capacity];
  };
  std::string_view* names_ = inline_;
  std::size_t size_ = 0;
  std::size_t most_;
  std::unique_ptr<std::string_view[]> heap_;
};

[[gnu::cold]] Result<void> check_required(const ParamSpec& spec, Py_ssize_t nargs,
                                          std::span<PyObject*> slots) {
  NameList missing(slot_count(spec));
  if (static_cast<std::size_t>(nargs) < spec.required_positional_count) {
    // The slots below nargs hold the positional arguments, so this lists the
    // empty required slots only.
    for (std::size_t i = 0; i < spec.required_positional_count; ++i)
      if (!slots[i]) missing.push(spec.positional_names[i]);
    if (!missing.empty()) return failure(error_missing_required(spec, "positional", missing));
  }
  std::size_t base = spec.positional_names.size();
  for (std::size_t k = 0; k < spec.keyword_only.size(); ++k)
    if (spec.keyword_only[k].required && !slots[base + k]) missing.push(spec.keyword_only[k].name);
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

void append_display_name(TextBuffer& text, const ParamSpec& spec) {
  if (spec.class_name) {
    text += *spec.class_name;
    text += '.';
  }
  text += spec.function_name;
  text += "()";
}

void append_name_list(TextBuffer& text, std::span<const std::string_view> names) {
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

namespace {

// NAME takes C positional arguments but / NAME takes from R to C positional arguments but
void append_too_many_prefix(TextBuffer& text, const ParamSpec& spec) {
  append_display_name(text, spec);
  std::size_t count = spec.positional_names.size() + spec.self_count;
  std::size_t required = spec.required_positional_count + spec.self_count;
  if (required == count) {
    text += " takes ";
  } else {
    text += " takes from ";
    text.append_number(required);
    text += " to ";
  }
  text.append_number(count);
  text += " positional arguments but ";
}

}  // namespace

PyErr error_too_many_positional(const ParamSpec& spec, Py_ssize_t given) {
  TextBuffer text;
  append_too_many_prefix(text, spec);
  given += static_cast<Py_ssize_t>(spec.self_count);
  text.append_number(static_cast<std::uint64_t>(given));
  text += given == 1 ? " was given" : " were given";
  return type_error_from_text(text.view());
}

PyErr error_duplicate_argument(const ParamSpec& spec, std::string_view keyword) {
  TextBuffer text;
  append_display_name(text, spec);
  text += " got multiple values for argument '";
  text += keyword;
  text += '\'';
  return type_error_from_text(text.view());
}

PyErr error_unmatched_keyword(const ParamSpec& spec, PyObject* keyword) {
  TextBuffer text;
  append_display_name(text, spec);
  text += " got an unexpected keyword argument '";
  if (Result<void> shown = display_object(keyword, text); !shown) [[unlikely]]
    return std::move(shown.error());
  text += '\'';
  return type_error_from_text(text.view());
}

PyErr error_positional_only_by_keyword(const ParamSpec& spec,
                                       std::span<const std::string_view> names) {
  TextBuffer text;
  append_display_name(text, spec);
  text += " got some positional-only arguments passed as keyword arguments: ";
  append_name_list(text, names);
  return type_error_from_text(text.view());
}

namespace {

void append_missing(TextBuffer& text, const ParamSpec& spec, std::string_view kind,
                    std::span<const std::string_view> names) {
  append_display_name(text, spec);
  text += " missing ";
  text.append_number(names.size());
  text += " required ";
  text += kind;
  text += names.size() == 1 ? " argument: " : " arguments: ";
  append_name_list(text, names);
}

}  // namespace

PyErr error_missing_required(const ParamSpec& spec, std::string_view kind,
                             std::span<const std::string_view> names) {
  TextBuffer text;
  append_missing(text, spec, kind, names);
  return type_error_from_text(text.view());
}

namespace detail {

namespace {

// Keeps the text for the rest of the process.
void keep(CachedText& cache, std::string_view text) {
  auto kept = std::make_unique_for_overwrite<char[]>(text.size());
  std::memcpy(kept.get(), text.data(), text.size());
  bool ascii = true;
  for (char c : text) ascii &= static_cast<unsigned char>(c) < 0x80;
  cache = {kept.release(), text.size(), ascii};
}

}  // namespace

PyErr missing_positional_error(const ParamSpec& spec, std::size_t nargs, CachedText& cache) {
  if (!cache.data) {
    NameList missing(spec.required_positional_count);
    for (std::size_t i = nargs; i < spec.required_positional_count; ++i)
      missing.push(spec.positional_names[i]);
    TextBuffer text;
    append_missing(text, spec, "positional", missing);
    keep(cache, text.view());
  }
  std::string_view text(cache.data, cache.size);
  return cache.ascii ? type_error_from_ascii({text}) : type_error_from_text(text);
}

PyErr too_many_positional_error(const ParamSpec& spec, Py_ssize_t given, CachedText& prefix) {
  given += static_cast<Py_ssize_t>(spec.self_count);  // counted as Python counts a method's
  if (!prefix.data) {
    TextBuffer text;
    append_too_many_prefix(text, spec);
    keep(prefix, text.view());
  }
  char digits[20];
  char* end = std::to_chars(digits, digits + sizeof digits, static_cast<std::uint64_t>(given)).ptr;
  std::string_view number(digits, static_cast<std::size_t>(end - digits));
  std::string_view head(prefix.data, prefix.size);
  std::string_view tail = given == 1 ? " was given" : " were given";
  if (prefix.ascii) return type_error_from_ascii({head, number, tail});
  TextBuffer text;
  text += head;
  text += number;
  text += tail;
  return type_error_from_text(text.view());
}

void intern_names(std::span<const std::string_view> names, PyObject** out) {
  for (std::size_t i = 0; i < names.size(); ++i) out[i] = Py_NewRef(intern_text(names[i]));
}

}  // namespace detail

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
    NameList positional_only_given(static_cast<std::size_t>(count));
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
          positional_only_given.push(text);
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

}  // namespace krenn
