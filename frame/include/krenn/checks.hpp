// What declarations are checked against when compiling: Python identifiers
// and keywords, UTF-8 texts, defaults that fit their parameters, parameter
// and result types that have a converter, and module listings. A mistake
// here stops the build with a sentence, rather than building a module that
// cannot be imported or whose signature lies.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "krenn/converter.hpp"
#include "krenn/error.hpp"

namespace krenn::checks {

// Where the UTF-8 sequence at text[at] ends, or 0 when it is not one (overlong,
// a surrogate, past U+10FFFF or cut short).
constexpr std::size_t utf8_end(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  if (lead < 0x80) return at + 1;
  std::size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                       : lead >= 0xe0 && lead <= 0xef ? 3
                       : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                      : 0;
  if (length == 0 || text.size() - at < length) return 0;
  unsigned char low = 0x80, high = 0xbf;  // the second byte's range
  if (lead == 0xe0) low = 0xa0;
  if (lead == 0xed) high = 0x9f;
  if (lead == 0xf0) low = 0x90;
  if (lead == 0xf4) high = 0x8f;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  return at + length;
}

constexpr bool valid_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    at = utf8_end(text, at);
    if (at == 0) return false;
  }
  return true;
}

// The code point of the valid sequence at text[at, end).
constexpr std::uint32_t code_point(std::string_view text, std::size_t at, std::size_t end) {
  auto lead = static_cast<unsigned char>(text[at]);
  std::uint32_t value = end - at == 1 ? lead : lead & (0x7f >> (end - at));
  for (std::size_t i = at + 1; i < end; ++i)
    value = value << 6 | (static_cast<unsigned char>(text[i]) & 0x3f);
  return value;
}

constexpr bool has_nul(std::string_view text) {
  for (char c : text)
    if (c == '\0') return true;
  return false;
}

// ASCII letters, digits and _, not first a digit; any non-ASCII code point
// counts as a letter, which is close enough to what Python allows.
constexpr bool is_identifier(std::string_view text) {
  if (text.empty() || !valid_utf8(text)) return false;
  if (text[0] >= '0' && text[0] <= '9') return false;
  for (char c : text) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && !(c >= '0' && c <= '9') && static_cast<unsigned char>(c) < 0x80) return false;
  }
  return true;
}

inline constexpr std::string_view python_keywords[] = {
    "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
    "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
    "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
    "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};

constexpr bool is_keyword(std::string_view text) {
  for (std::string_view keyword : python_keywords)
    if (text == keyword) return true;
  return false;
}

enum class NameProblem : std::uint8_t { none, empty, not_identifier, keyword };

constexpr NameProblem name_problem(std::string_view name) {
  if (name.empty()) return NameProblem::empty;
  if (!is_identifier(name)) return NameProblem::not_identifier;
  if (is_keyword(name)) return NameProblem::keyword;
  return NameProblem::none;
}

template <typename T, std::size_t N>
constexpr bool any_is(const std::array<T, N>& values, T value) {
  for (const T& v : values)
    if (v == value) return true;
  return false;
}

template <std::size_t N>
constexpr bool all_distinct(const std::array<std::string_view, N>& names) {
  for (std::size_t i = 0; i < N; ++i)
    for (std::size_t j = i + 1; j < N; ++j)
      if (names[i] == names[j]) return false;
  return true;
}

// --- Converters -------------------------------------------------------------

template <typename T>
struct WithoutOptional {
  using type = T;
};
template <typename T>
struct WithoutOptional<std::optional<T>> {
  using type = T;
};

template <typename T>
inline constexpr bool never = false;

// Instantiated with the type, so that the compiler's "required from" lines
// name it.
template <typename T>
struct NoConverterFor {
  static_assert(never<T>,
                "no krenn::Converter for this parameter type; specialize krenn::Converter<T>");
  static constexpr bool value = false;
};
template <typename T>
struct NoResultConverterFor {
  static_assert(never<T>,
                "no krenn::Converter for this result type; specialize krenn::Converter<T> with "
                "to_python");
  static constexpr bool value = false;
};

template <typename T>
consteval bool has_param_converter() {
  using U = typename WithoutOptional<T>::type;
  if constexpr (ParamType<U>)
    return true;
  else
    return NoConverterFor<U>::value;
}

template <typename T>
struct ResultValue {
  using type = void;
  static constexpr bool is_result = false;
};
template <typename T>
struct ResultValue<Result<T>> {
  using type = T;
  static constexpr bool is_result = true;
};

template <typename R>
consteval bool has_result_converter() {
  using T = std::remove_cvref_t<R>;
  if constexpr (std::is_void_v<T> || std::is_same_v<T, PyObject*>)
    return true;
  else if constexpr (ResultValue<T>::is_result)
    return has_result_converter<typename ResultValue<T>::type>();
  else if constexpr (ResultType<typename WithoutOptional<T>::type>)
    return true;
  else
    return NoResultConverterFor<typename WithoutOptional<T>::type>::value;
}

// --- Defaults ---------------------------------------------------------------

// A string literal default, as declarations hold it.
template <typename V>
concept TextValue = requires(const V& v) {
  { v.view() } -> std::convertible_to<std::string_view>;
};

enum class DefaultProblem : std::uint8_t {
  none,
  not_an_integer,
  out_of_range,
  not_a_bool,
  not_a_number,
  float_changes,
  text_not_str,
  text_not_utf8,
  no_conversion,
};

template <typename U>
consteval std::string_view python_name() {
  if constexpr (requires { Converter<U>::python_name; })
    return Converter<U>::python_name;
  else
    return {};
}

// Whether the parameter of type T (or std::optional<T>) takes this default,
// and would get just the value its signature shows.
template <typename T, typename V>
constexpr DefaultProblem default_problem(const V& value) {
  using U = typename WithoutOptional<T>::type;
  constexpr bool integer = std::is_integral_v<V> && !std::is_same_v<V, bool>;
  if constexpr (!std::is_arithmetic_v<V> && !TextValue<V>) {
    return DefaultProblem::none;  // no default
  } else if constexpr (std::is_same_v<U, bool>) {
    return std::is_same_v<V, bool> ? DefaultProblem::none : DefaultProblem::not_a_bool;
  } else if constexpr (std::is_integral_v<U>) {
    if constexpr (!integer)
      return DefaultProblem::not_an_integer;
    else
      return std::in_range<U>(value) ? DefaultProblem::none : DefaultProblem::out_of_range;
  } else if constexpr (std::is_floating_point_v<U>) {
    if constexpr (!std::is_arithmetic_v<V> || std::is_same_v<V, bool>)
      return DefaultProblem::not_a_number;
    else
      return static_cast<V>(static_cast<U>(value)) == value ? DefaultProblem::none
                                                            : DefaultProblem::float_changes;
  } else if constexpr (TextValue<V>) {
    if (python_name<U>() != "str" || !std::is_constructible_v<T, std::string_view>)
      return DefaultProblem::text_not_str;
    return valid_utf8(value.view()) ? DefaultProblem::none : DefaultProblem::text_not_utf8;
  } else {
    return std::is_constructible_v<T, V> ? DefaultProblem::none : DefaultProblem::no_conversion;
  }
}

// --- Modules ----------------------------------------------------------------

// A string literal as a template argument.
template <std::size_t N>
struct Literal {
  char data[N];
  // NOLINTNEXTLINE(google-explicit-constructor): literals convert in place.
  consteval Literal(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) data[i] = text[i];
  }
  [[nodiscard]] constexpr std::string_view view() const { return {data, N - 1}; }
};

constexpr std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\n')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.remove_suffix(1);
  return text;
}

// The Python name of a listed function: the last part of a qualified name.
constexpr std::string_view python_name_of_listed(std::string_view listed) {
  listed = trimmed(listed);
  for (std::size_t i = listed.size(); i > 0; --i)
    if (listed[i - 1] == ':') return listed.substr(i);
  return listed;
}

// Whether no Python name repeats in a stringized list "f, g, inner::h".
constexpr bool listed_once(std::string_view list) {
  for (std::size_t start = 0; start < list.size();) {
    std::size_t end = start;
    while (end < list.size() && list[end] != ',') ++end;
    std::string_view name = python_name_of_listed(list.substr(start, end - start));
    for (std::size_t next = end + 1; next < list.size();) {
      std::size_t stop = next;
      while (stop < list.size() && list[stop] != ',') ++stop;
      if (python_name_of_listed(list.substr(next, stop - next)) == name) return false;
      next = stop + 1;
    }
    start = end + 1;
  }
  return true;
}

// KRENN_MODULE's list and doc, checked as the macro instantiates it.
template <Literal list, Literal doc>
struct ModuleListing {
  static_assert(listed_once(list.view()), "a function is listed twice in KRENN_MODULE");
  static_assert(!has_nul(doc.view()), "a module doc must not hold a NUL byte");
  static_assert(valid_utf8(doc.view()), "a module doc must be valid UTF-8");
};

}  // namespace krenn::checks
