// Native functions declared once: a Python name, the parameter names, a doc
// and a C++ body with typed parameters. The parameter description, the slot
// array, the text signature, the entry and the MethodSpec follow from them
// when compiling.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "krenn/arguments.hpp"
#include "krenn/boolean.hpp"
#include "krenn/boundary.hpp"
#include "krenn/bytes.hpp"
#include "krenn/checks.hpp"
#include "krenn/chrono.hpp"
#include "krenn/containers.hpp"
#include "krenn/converter.hpp"
#include "krenn/filesystem.hpp"
#include "krenn/floats.hpp"
#include "krenn/integers.hpp"
#include "krenn/maps.hpp"
#include "krenn/module.hpp"
#include "krenn/objects.hpp"
#include "krenn/optional.hpp"
#include "krenn/str.hpp"
#include "krenn/tuples.hpp"
#include "krenn/variant.hpp"
#include "krenn/without_gil.hpp"

namespace krenn {

// A string literal as a template argument, NUL included.
template <std::size_t N>
struct FixedText {
  char data[N];
  // NOLINTNEXTLINE(google-explicit-constructor): literals convert in place.
  consteval FixedText(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) data[i] = text[i];
  }
  [[nodiscard]] constexpr std::string_view view() const { return {data, N - 1}; }
  [[nodiscard]] constexpr std::string_view with_nul() const { return {data, N}; }
};

// In the order Python takes them.
enum class ParamKind : std::uint8_t { positional_only, positional, keyword_only };

// A parameter without a default.
struct NoDefault {};

// A parameter: its name, how it may be passed, and its default. It may be left
// out when it has a default ("b"_a = 10) or the body takes a std::optional.
template <std::size_t N, typename Default = NoDefault>
struct Arg {
  FixedText<N> name;
  ParamKind kind = ParamKind::positional;
  Default value{};

  [[nodiscard]] consteval Arg positional_only() const {
    return {name, ParamKind::positional_only, value};
  }
  [[nodiscard]] consteval Arg keyword_only() const {
    return {name, ParamKind::keyword_only, value};
  }
  // The default: a number, a bool or a string literal, shown as Python shows it.
  template <typename V>
  requires std::is_arithmetic_v<V>
  consteval Arg<N, V> operator=(V v) const {  // NOLINT: a declaration, not an assignment
    return {name, kind, v};
  }
  template <std::size_t M>
  consteval Arg<N, FixedText<M>> operator=(const char (&text)[M]) const {  // NOLINT: as above
    return {name, kind, FixedText<M>(text)};
  }
};

inline namespace literals {

// "a"_a: the parameter named a.
template <FixedText Name>
consteval Arg<sizeof(Name.data)> operator""_a() {
  return {Name};
}

}  // namespace literals

namespace detail {

template <typename T>
inline constexpr bool is_optional_param = false;
template <typename T>
inline constexpr bool is_optional_param<std::optional<T>> = true;

template <typename T>
inline constexpr bool is_arg = false;
template <std::size_t N, typename D>
inline constexpr bool is_arg<Arg<N, D>> = true;

template <typename T>
inline constexpr bool is_fixed_text = false;
template <std::size_t N>
inline constexpr bool is_fixed_text<FixedText<N>> = true;

template <typename T>
inline constexpr bool is_result = false;
template <typename T>
inline constexpr bool is_result<Result<T>> = true;

template <typename Body>
struct BodyTraits;
template <typename R, typename... Ts>
struct BodyTraits<R (*)(Ts...)> {
  using params = std::tuple<std::remove_cvref_t<Ts>...>;
  using result = R;
  using signature = R(Ts...);
  static constexpr bool is_member = false;
};
template <typename R, typename... Ts>
struct BodyTraits<R (*)(Ts...) noexcept> : BodyTraits<R (*)(Ts...)> {};
// A member function: its object is the first parameter.
template <typename R, typename C, typename... Ts>
struct BodyTraits<R (C::*)(Ts...)> {
  using params = std::tuple<C, std::remove_cvref_t<Ts>...>;
  using result = R;
  static constexpr bool is_member = true;
};
template <typename R, typename C, typename... Ts>
struct BodyTraits<R (C::*)(Ts...) const> : BodyTraits<R (C::*)(Ts...)> {};
template <typename R, typename C, typename... Ts>
struct BodyTraits<R (C::*)(Ts...) noexcept> : BodyTraits<R (C::*)(Ts...)> {};
template <typename R, typename C, typename... Ts>
struct BodyTraits<R (C::*)(Ts...) const noexcept> : BodyTraits<R (C::*)(Ts...)> {};

// A function's record of direct calls (a DirectCall) is written by its
// entry into the section krenn_direct. The linker keeps the section, and with
// it a copy of the body, only in a module that converts std::function
// parameters (whose lookup names the section's bounds): other modules keep
// their bodies inline.
template <auto body>
struct [[gnu::visibility("hidden")]] DirectBody {
  using Signature = typename BodyTraits<decltype(body)>::signature;
  static constexpr Signature* plain = body;
};

// A parameter's per-call storage: the value itself, or its converter's Holder
// for types that keep something until the body returns.
template <typename T>
concept HolderForm = requires {
  typename Converter<T>::Holder;
};
template <typename T>
struct ParamSlot {
  using type = T;
};
template <HolderForm T>
struct ParamSlot<T> {
  using type = typename Converter<T>::Holder;
};
template <typename T>
using param_slot_t = typename ParamSlot<T>::type;

template <typename T>
[[gnu::always_inline]] inline bool exact_into(PyObject* obj, param_slot_t<T>& slot,
                                              std::string_view name) noexcept {
  if constexpr (NamedExact<T>)
    return Converter<T>::exact(obj, slot, name);
  else
    return Converter<T>::exact(obj, slot);
}
// What the body receives from a slot.
template <typename T>
[[gnu::always_inline]] inline decltype(auto) slot_value(param_slot_t<T>& slot) {
  if constexpr (HolderForm<T>)
    return Converter<T>::get(slot);
  else
    return std::move(slot);
}
template <std::size_t N, typename Tuple>
struct TupleTail;
template <typename Tuple>
struct TupleTail<0, Tuple> {
  using type = Tuple;
};
template <typename First, typename... Rest>
struct TupleTail<1, std::tuple<First, Rest...>> {
  using type = std::tuple<Rest...>;
};
template <typename Tuple>
struct SlotsOf;
template <typename... Ts>
struct SlotsOf<std::tuple<Ts...>> {
  using type = std::tuple<param_slot_t<Ts>...>;
};

template <typename T>
inline constexpr bool has_exact = requires(PyObject* obj, param_slot_t<T>& slot) {
  { Converter<T>::exact(obj, slot) } -> std::same_as<bool>;
};
template <typename T>
inline constexpr bool has_param_exact = has_exact<T> || NamedExact<T>;

template <typename T>
inline constexpr bool needs_gil = requires {
  requires Converter<T>::needs_gil;
};

// A default as the signature shows it, composed when compiling.
struct DefaultText {
  std::array<char, 120> data{};
  std::size_t size = 0;
  constexpr void put(char c);
  constexpr void put(std::string_view text) {
    for (char c : text) put(c);
  }
  constexpr void put_decimal(std::uint64_t value, std::size_t min_digits = 1) {
    char digits[20]{};
    std::size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value || n < min_digits);
    while (n) put(digits[--n]);
  }
};

// Not constexpr: reaching one when compiling stops the build with its name.
void default_text_too_long();
void float_default_without_a_short_fixed_repr();

constexpr void DefaultText::put(char c) {
  if (size == data.size()) default_text_too_long();
  data[size++] = c;
}

// As Python's repr: the fewest fractional digits that read back as the same
// double, for magnitudes where repr writes no exponent.
constexpr void put_float_repr(DefaultText& out, double value) {
  bool negative = std::bit_cast<std::uint64_t>(value) >> 63;
  double magnitude = negative ? -value : value;
  if (negative) out.put('-');
  if (magnitude == 0) return out.put("0.0");
  if (!(magnitude >= 1e-4 && magnitude < 1e16)) float_default_without_a_short_fixed_repr();
  double scale = 1;
  for (std::size_t fraction = 0; fraction <= 22; ++fraction, scale *= 10) {
    double scaled = magnitude * scale;
    if (scaled >= 9007199254740992.0) break;  // 2**53: no longer exact
    auto nearest = static_cast<std::uint64_t>(scaled + 0.5);
    for (std::uint64_t digits : {nearest, nearest - 1, nearest + 1}) {
      if (static_cast<double>(digits) / scale != magnitude) continue;
      std::uint64_t unit = static_cast<std::uint64_t>(scale);
      out.put_decimal(digits / unit);
      out.put('.');
      out.put_decimal(fraction ? digits % unit : 0, fraction ? fraction : 1);
      return;
    }
  }
  float_default_without_a_short_fixed_repr();
}

// ascii: as __text_signature__ needs it, which the interpreter reads as
// ASCII, so a str default's other characters are escapes.
template <typename V>
constexpr DefaultText default_text(const V& value, bool ascii) {
  DefaultText out;
  if constexpr (std::is_same_v<V, NoDefault>) {
  } else if constexpr (std::is_same_v<V, bool>) {
    out.put(value ? "True" : "False");
  } else if constexpr (std::is_integral_v<V>) {
    if (value < 0) out.put('-');
    out.put_decimal(value < 0 ? 0 - static_cast<std::uint64_t>(value)
                              : static_cast<std::uint64_t>(value));
  } else if constexpr (std::is_floating_point_v<V>) {
    put_float_repr(out, static_cast<double>(value));
  } else {
    std::string_view text = value.view();
    // A loop, not find(): UBSan's checks in find() are not constant expressions.
    bool single = false, dual = false;
    for (char c : text) {
      single |= c == '\'';
      dual |= c == '"';
    }
    char quote = single && !dual ? '"' : '\'';
    out.put(quote);
    auto put_hex = [&](std::uint32_t value, std::size_t digits) {
      while (digits--) out.put("0123456789abcdef"[(value >> (4 * digits)) & 15]);
    };
    for (std::size_t at = 0; at < text.size(); ++at) {
      char c = text[at];
      auto byte = static_cast<unsigned char>(c);
      std::size_t end = byte >= 0x80 && ascii ? checks::utf8_end(text, at) : 0;
      if (end) {
        std::uint32_t point = checks::code_point(text, at, end);
        out.put(point < 0x100 ? "\\x" : point < 0x10000 ? "\\u" : "\\U");
        put_hex(point, point < 0x100 ? 2 : point < 0x10000 ? 4 : 8);
        at = end - 1;
      } else if (c == quote || c == '\\') {
        out.put('\\');
        out.put(c);
      } else if (c == '\n') {
        out.put("\\n");
      } else if (c == '\r') {
        out.put("\\r");
      } else if (c == '\t') {
        out.put("\\t");
      } else if (byte < 0x20 || byte == 0x7f) {
        out.put("\\x");
        put_hex(byte, 2);
      } else {
        out.put(c);
      }
    }
    out.put(quote);
  }
  return out;
}

// The body's parameter of type T when its argument was left out.
template <typename T, typename V>
[[nodiscard]] T default_as(const V& value) {
  if constexpr (is_fixed_text<V>)
    return T(value.view());
  else
    return T(value);
}

// A type's name in stubs: its converter's, or object for a type without one.
template <typename T>
consteval std::string_view python_name_of() {
  if constexpr (requires { Converter<T>::python_name; })
    return Converter<T>::python_name;
  else
    return "object";
}

template <typename R>
consteval std::string_view result_name_of() {
  using T = std::remove_cvref_t<R>;
  if constexpr (std::is_void_v<T>)
    return "None";
  else if constexpr (is_result<T>)
    return result_name_of<typename T::value_type>();
  else if constexpr (requires { Converter<T>::result_name; })
    return Converter<T>::result_name;
  else
    return python_name_of<T>();
}

template <typename T>
inline constexpr bool is_returns = false;

// NotImplemented for a TypeError; any other error stays.
[[nodiscard]] Result<PyObject*> not_implemented_unless(PyErr err);

// A body's value as a new reference, or its error.
template <typename R>
[[gnu::always_inline]] inline Result<PyObject*> to_python_result(R&& value) {
  using T = std::remove_cvref_t<R>;
  if constexpr (std::is_same_v<T, Result<PyObject*>>) {
    return std::forward<R>(value);
  } else if constexpr (std::is_same_v<T, PyObject*>) {
    return value;  // a new reference by contract
  } else if constexpr (is_result<T>) {
    if (!value) [[unlikely]]
      return failure(std::move(value.error()));
    if constexpr (std::is_void_v<typename T::value_type>)
      return Py_NewRef(Py_None);
    else
      return to_python_result(std::move(*value));
  } else {
    static_assert(ResultType<T>, "no Converter<T>::to_python for this result type");
    return Converter<T>::to_python(std::forward<R>(value));
  }
}

// Whether a body's value may convert to NULL without an error.
template <typename R>
consteval bool may_be_empty() {
  using T = std::remove_cvref_t<R>;
  if constexpr (is_result<T>)
    return !std::is_void_v<typename T::value_type> && may_be_empty<typename T::value_type>();
  else
    return result_may_be_empty<T>;
}

}  // namespace detail

// The declaration option krenn::returns("str"): the result's type in stubs,
// for a body that returns a PyObject* or a krenn::Object.
template <std::size_t N>
struct Returns {
  FixedText<N> annotation;
};
template <std::size_t N>
consteval Returns<N> returns(const char (&annotation)[N]) {
  return {annotation};
}
namespace detail {
template <std::size_t N>
inline constexpr bool is_returns<Returns<N>> = true;
}  // namespace detail

// The declaration option for a method whose result (a reference or pointer to
// a bound class) points into its object: the result refers to it in place and
// keeps the object alive.
struct ReferenceInternal {};
inline constexpr ReferenceInternal reference_internal{};

namespace detail {
template <typename T>
struct ClassConverterBase;

template <typename R>
[[gnu::always_inline]] inline Result<PyObject*> refer_result(PyObject* owner, R&& result) {
  using T = std::remove_cvref_t<R>;
  if constexpr (std::is_pointer_v<T>) {
    using U = std::remove_cv_t<std::remove_pointer_t<T>>;
    return ClassConverterBase<U>::refer(const_cast<U*>(result), owner);
  } else {
    return ClassConverterBase<T>::refer(const_cast<T*>(&result), owner);
  }
}
}  // namespace detail

// What a declaration names: the function, its doc, its parameters in order,
// and options (krenn::without_gil) anywhere among them.
template <std::size_t NameSize, std::size_t DocSize, typename... Items>
struct Declaration {
  FixedText<NameSize> name;
  FixedText<DocSize> doc;
  std::tuple<Items...> items;

  consteval Declaration(const char (&name_)[NameSize], const char (&doc_)[DocSize], Items... items_)
      : name(name_), doc(doc_), items(items_...) {}
};

// What a callable is to Python: a module's function, a method (its object
// comes as the entry's self), a static method, or a class's __init__.
enum class CallKind : std::uint8_t { function, method, static_method, init };

namespace detail {
inline constexpr std::string_view no_class_name{};
}  // namespace detail

// The native callable that decl declares, with this body. Keyed by the
// declaration object, so that symbols name the callable rather than its texts.
// A method's body takes its object first: a member function, or a function
// whose first parameter is the class.
template <auto body, const auto& decl, CallKind call_kind = CallKind::function,
          const std::string_view& class_name = detail::no_class_name,
          bool mismatch_not_implemented = false>
struct [[gnu::visibility("hidden")]] Function {
  static constexpr std::size_t self_count =
      call_kind == CallKind::method || call_kind == CallKind::init ? 1 : 0;
  static_assert(self_count == 1 || !detail::BodyTraits<decltype(body)>::is_member,
                "a member function binds as a method");
  using AllParams = typename detail::BodyTraits<decltype(body)>::params;
  using Params = typename detail::TupleTail<self_count, AllParams>::type;
  using Items = std::remove_cvref_t<decltype(decl.items)>;
  static constexpr std::size_t item_count = std::tuple_size_v<Items>;
  static constexpr auto item_is_arg = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<bool, item_count>{detail::is_arg<std::tuple_element_t<I, Items>>...};
  }
  (std::make_index_sequence<item_count>());
  static constexpr std::size_t gil_options = []<std::size_t... I>(std::index_sequence<I...>) {
    return (std::size_t{0} + ... +
            std::size_t{std::is_same_v<std::tuple_element_t<I, Items>, WithoutGil>});
  }
  (std::make_index_sequence<item_count>());
  static constexpr std::size_t count = [] {
    std::size_t n = 0;
    for (bool is_arg : item_is_arg) n += is_arg;
    return n;
  }();
  static constexpr auto returns_item = []<std::size_t... I>(std::index_sequence<I...>) {
    std::size_t at = item_count;
    ((detail::is_returns<std::tuple_element_t<I, Items>> ? (void)(at = I) : (void)0), ...);
    return at;
  }
  (std::make_index_sequence<item_count>());
  static constexpr std::size_t returns_options = []<std::size_t... I>(std::index_sequence<I...>) {
    return (std::size_t{0} + ... + std::size_t{detail::is_returns<std::tuple_element_t<I, Items>>});
  }
  (std::make_index_sequence<item_count>());
  static constexpr std::size_t internal_options = []<std::size_t... I>(std::index_sequence<I...>) {
    return (std::size_t{0} + ... +
            std::size_t{std::is_same_v<std::tuple_element_t<I, Items>, ReferenceInternal>});
  }
  (std::make_index_sequence<item_count>());
  static constexpr bool refers_into_self = internal_options == 1;
  static_assert(internal_options == 0 || self_count == 1,
                "krenn::reference_internal is for methods");
  static_assert(count + gil_options + returns_options + internal_options == item_count,
                "a declaration lists parameters (\"a\"_a), krenn::without_gil, "
                "krenn::returns and krenn::reference_internal only");
  static_assert(returns_options <= 1, "krenn::returns once");
  static_assert(gil_options <= 1, "krenn::without_gil once");
  static constexpr bool releases_gil = gil_options == 1;
  static_assert(
      !releases_gil || []<std::size_t... I>(std::index_sequence<I...>) {
        return (!detail::needs_gil<std::tuple_element_t<I, AllParams>> && ...);
      }(std::make_index_sequence<std::tuple_size_v<AllParams>>()),
      "a body declared krenn::without_gil cannot take a view of a Python container "
      "(krenn::Sequence, krenn::Mapping): it reads the container as it runs; take a "
      "std container instead");
  static_assert(count == std::tuple_size_v<Params>, "one declared name per body parameter");
  // Where each parameter is among the items.
  static constexpr auto arg_item = [] {
    std::array<std::size_t, count> at{};
    for (std::size_t i = 0, n = 0; i < item_count; ++i)
      if (item_is_arg[i]) at[n++] = i;
    return at;
  }();
  template <std::size_t I>
  static constexpr const auto& arg() {
    return std::get<arg_item[I]>(decl.items);
  }

  template <typename T, typename Each>
  static constexpr auto per_param(Each each) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return std::array<T, count>{each(arg<I>(), std::integral_constant<std::size_t, I>())...};
    }
    (std::make_index_sequence<count>());
  }
  // Read when compiling only: the texts that calls use are in doc_text below,
  // so the declaration itself takes no space in the module.
  static constexpr auto declared_names =
      per_param<std::string_view>([](const auto& arg, auto) { return arg.name.view(); });
  static constexpr auto kinds =
      per_param<ParamKind>([](const auto& arg, auto) { return arg.kind; });
  static constexpr auto has_default = per_param<bool>([](const auto& arg, auto) {
    return !std::is_same_v<std::remove_cvref_t<decltype(arg.value)>, NoDefault>;
  });
  static constexpr auto default_texts = per_param<detail::DefaultText>(
      [](const auto& arg, auto) { return detail::default_text(arg.value, true); });
  static constexpr auto stub_default_texts = per_param<detail::DefaultText>(
      [](const auto& arg, auto) { return detail::default_text(arg.value, false); });
  // __text_signature__ is read as ASCII: a function with another parameter
  // name shows its signature as the doc's first line instead, as builtins
  // without one do.
  static constexpr bool ascii_names = [] {
    for (std::string_view name : declared_names)
      for (char c : name)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
  }();
  static constexpr auto optional = per_param<bool>([](const auto& arg, auto i) {
    return detail::is_optional_param<std::tuple_element_t<i(), Params>> ||
           !std::is_same_v<std::remove_cvref_t<decltype(arg.value)>, NoDefault>;
  });
  // Mistakes in a declaration, each stopped with its own sentence.
  static_assert([]<std::size_t... I>(std::index_sequence<I...>) {
    return (checks::has_param_converter<std::tuple_element_t<I, Params>>() && ...);
  }(std::make_index_sequence<count>()));
  static_assert(
      checks::has_result_converter<typename detail::BodyTraits<decltype(body)>::result>());
  static constexpr auto name_problems = per_param<checks::NameProblem>(
      [](const auto& arg, auto) { return checks::name_problem(arg.name.view()); });
  static_assert(!checks::any_is(name_problems, checks::NameProblem::empty),
                "a parameter name must not be empty");
  static_assert(!checks::any_is(name_problems, checks::NameProblem::not_identifier),
                "a parameter name must be a Python identifier: letters, digits and _, "
                "not first a digit");
  static_assert(!checks::any_is(name_problems, checks::NameProblem::keyword),
                "a parameter name must not be a Python keyword");
  static_assert(checks::all_distinct(declared_names), "a parameter name is declared twice");
  static_assert(checks::is_identifier(decl.name.view()),
                "a function name must be a Python identifier");
  static_assert(!checks::is_keyword(decl.name.view()),
                "a function name must not be a Python keyword");
  static_assert(!checks::has_nul(decl.doc.view()), "a doc must not hold a NUL byte");
  static_assert(checks::valid_utf8(decl.doc.view()), "a doc must be valid UTF-8");
  static constexpr auto default_problems =
      per_param<checks::DefaultProblem>([](const auto& arg, auto i) {
        return checks::default_problem<std::tuple_element_t<i(), Params>>(arg.value);
      });
  template <checks::DefaultProblem problem>
  static constexpr bool no_default_has = !checks::any_is(default_problems, problem);
  static_assert(no_default_has<checks::DefaultProblem::not_an_integer>,
                "a default must fit its parameter's type: an integer parameter's default is an "
                "integer (not a float, bool or string)");
  static_assert(no_default_has<checks::DefaultProblem::out_of_range>,
                "a default must fit its parameter's type: the integer is out of its range");
  static_assert(no_default_has<checks::DefaultProblem::not_a_bool>,
                "a default must fit its parameter's type: a bool parameter's default is true or "
                "false");
  static_assert(no_default_has<checks::DefaultProblem::not_a_number>,
                "a default must fit its parameter's type: a float parameter's default is a number");
  static_assert(no_default_has<checks::DefaultProblem::float_changes>,
                "a default must fit its parameter's type: the number does not survive the round "
                "trip to the parameter's type, so the signature would show another value than "
                "the body gets");
  static_assert(no_default_has<checks::DefaultProblem::text_not_str>,
                "a default must fit its parameter's type: a string literal default fits only a "
                "str parameter");
  static_assert(no_default_has<checks::DefaultProblem::text_not_utf8>,
                "a default must fit its parameter's type: a string literal default is valid UTF-8");
  static_assert(no_default_has<checks::DefaultProblem::no_conversion>,
                "a default must fit its parameter's type: the type cannot be made from it");

  static constexpr std::size_t count_of(ParamKind kind) {
    std::size_t n = 0;
    for (ParamKind k : kinds) n += k == kind;
    return n;
  }
  static constexpr std::size_t positional_only_count = count_of(ParamKind::positional_only);
  static constexpr std::size_t keyword_only_count = count_of(ParamKind::keyword_only);
  static constexpr std::size_t positional_count = count - keyword_only_count;

  // The binder fills slots in declaration order, and only as Python allows.
  static consteval bool in_python_order() {
    for (std::size_t i = 1; i < count; ++i) {
      if (kinds[i] < kinds[i - 1]) return false;  // '/' before plain, plain before '*'
      if (kinds[i] != ParamKind::keyword_only && optional[i - 1] && !optional[i]) return false;
    }
    return true;
  }
  static_assert(in_python_order(),
                "parameters go positional-only, plain, keyword-only, and no positional "
                "one without a default follows one with a default");

  static constexpr std::size_t required_positional_count = [] {
    std::size_t n = 0;
    while (n < positional_count && !optional[n]) ++n;
    return n;
  }();

  // The parameter list as a def writes it: "a, /, b=10, *, c=None", or with
  // types ("a: int, ...", "b: int = 10") for a stub. at_name(i) is called as
  // each name is about to be put.
  template <typename Put, typename AtName>
  static constexpr void write_params(Put & put, AtName at_name,
                                     const std::string_view* types = nullptr) {
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) put(", ");
      if (kinds[i] == ParamKind::keyword_only && (i == 0 || kinds[i - 1] != kinds[i])) put("*, ");
      at_name(i);
      put(declared_names[i]);
      if (types) {
        put(": ");
        put(types[i]);
      }
      if (has_default[i] || optional[i]) put(types ? " = " : "=");
      const auto& texts = types || !ascii_names ? stub_default_texts : default_texts;
      if (has_default[i])
        put(std::string_view(texts[i].data.data(), texts[i].size));
      else if (optional[i])
        put("None");
      if (i + 1 == positional_only_count) put(", /");
    }
  }

  // "name(a, /, b, *, c=None)\n--\n\n" and the doc: __text_signature__ and
  // __doc__. Returns the size; name_at gets where each parameter's name is.
  static constexpr std::size_t write_doc(char* out, std::size_t* name_at) {
    std::size_t at = 0;
    auto put = [&](std::string_view text) {
      for (char c : text) {
        if (out) out[at] = c;
        ++at;
      }
    };
    put(decl.name.view());
    put("(");
    if constexpr (call_kind == CallKind::method) put(count ? "$self, " : "$self");
    write_params(put, [&](std::size_t i) {
      if (name_at) name_at[i] = at;
    });
    put(ascii_names ? ")\n--\n\n" : ")\n\n");
    put(decl.doc.with_nul());
    return at;
  }
  static constexpr auto doc_text = [] {
    std::array<char, write_doc(nullptr, nullptr)> out{};
    write_doc(out.data(), nullptr);
    return out;
  }();
  static constexpr auto names = [] {
    std::array<std::size_t, count> at{};
    write_doc(nullptr, at.data());
    std::array<std::string_view, count> out{};
    for (std::size_t i = 0; i < count; ++i)
      out[i] = std::string_view(doc_text.data() + at[i], declared_names[i].size());
    return out;
  }();
  // The name with its NUL, for the method definition.
  static constexpr auto name_text = [] {
    std::array<char, decl.name.with_nul().size()> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = decl.name.data[i];
    return out;
  }();

  static constexpr auto positional_names = [] {
    std::array<std::string_view, positional_count> out{};
    for (std::size_t i = 0; i < positional_count; ++i) out[i] = names[i];
    return out;
  }();
  static constexpr auto keyword_params = [] {
    std::array<KeywordParam, keyword_only_count> out{};
    for (std::size_t i = 0; i < keyword_only_count; ++i)
      out[i] = {names[positional_count + i], !optional[positional_count + i]};
    return out;
  }();

  static constexpr ParamSpec params{
      .function_name = std::string_view(name_text.data(), name_text.size() - 1),
      .positional_names = positional_names,
      .keyword_only = keyword_params,
      .class_name = class_name.empty() ? std::nullopt : std::optional(class_name),
      .positional_only_count = positional_only_count,
      .required_positional_count = required_positional_count,
      .self_count = self_count,
  };

  using Self =
      std::tuple_element_t<0,
                           std::conditional_t<self_count == 1, AllParams, std::tuple<PyObject*>>>;

  // Every call: binding, conversion in declaration order, and the errors.
  [[gnu::noinline]] static Result<PyObject*> call_general(PyObject * self, PyObject* const* args_,
                                                          Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, slot_count(params)> slots;
    Result<PyObject* const*> bound = bind_arguments<params>(args_, nargs, kwnames, slots);
    if (!bound) return conversion_failed(std::move(bound.error()));
    if constexpr (self_count == 1) {
      detail::param_slot_t<Self> self_slot{};
      if (Result<void> got = Converter<Self>::convert(self, "self", self_slot); !got) [[unlikely]]
        return failure(std::move(got.error()));
      return convert_from<0>(self, *bound, Converter<Self>::get(self_slot));
    } else {
      return convert_from<0>(self, *bound);
    }
  }

  template <std::size_t I, typename... Done>
  [[gnu::always_inline]] static Result<PyObject*> convert_from(
      PyObject * owner, PyObject* const* values, Done&&... done) {
    if constexpr (I == count) {
      return run(owner, std::forward<Done>(done)...);
    } else {
      using T = std::tuple_element_t<I, Params>;
      if constexpr (has_default[I]) {
        if (!values[I])
          return convert_from<I + 1>(owner, values, std::forward<Done>(done)...,
                                     detail::default_as<T>(arg<I>().value));
      }
      constexpr std::string_view param_name = names[I];  // an immediate, not a load
      if constexpr (detail::HolderForm<T>) {
        typename Converter<T>::Holder holder{};
        Result<void> got = Converter<T>::convert(values[I], param_name, holder);
        if (!got) [[unlikely]]
          return conversion_failed(std::move(got.error()));
        return convert_from<I + 1>(owner, values, std::forward<Done>(done)...,
                                   Converter<T>::get(holder));
      } else {
        Result<T> value = Converter<T>::convert(values[I], param_name);
        if (!value) [[unlikely]]
          return conversion_failed(std::move(value.error()));
        return convert_from<I + 1>(owner, values, std::forward<Done>(done)..., std::move(*value));
      }
    }
  }

  // An operator's other operand that does not convert: NotImplemented, so
  // that Python tries the other side; for one of several constructors,
  // arguments that do not bind or convert, so that the next one is tried.
  static Result<PyObject*> conversion_failed(PyErr err) {
    if constexpr (mismatch_not_implemented)
      return detail::not_implemented_unless(std::move(err));
    else
      return failure(std::move(err));
  }

  // The body, with or without the GIL, and its value as a new reference.
  template <typename... Values>
  [[gnu::always_inline]] static Result<PyObject*> run([[maybe_unused]] PyObject * owner,
                                                      Values && ... values) {
    auto invoke = [&]() -> decltype(auto) {
      return std::invoke(body, std::forward<Values>(values)...);
    };
    using R = decltype(invoke());
    if constexpr (std::is_void_v<R>) {
      if constexpr (releases_gil)
        detail::call_without_gil(invoke);
      else
        invoke();
      return Py_NewRef(Py_None);
    } else if constexpr (refers_into_self) {
      if constexpr (releases_gil)
        return detail::refer_result(owner, detail::call_without_gil(invoke));
      else
        return detail::refer_result(owner, invoke());
    } else if constexpr (detail::may_be_empty<R>()) {
      Result<PyObject*> result;
      if constexpr (releases_gil)
        result = detail::to_python_result(detail::call_without_gil(invoke));
      else
        result = detail::to_python_result(invoke());
      if (result && !*result) [[unlikely]]
        return detail::empty_result(params.function_name);
      return result;
    } else if constexpr (releases_gil) {
      return detail::to_python_result(detail::call_without_gil(invoke));
    } else {
      return detail::to_python_result(invoke());
    }
  }

  // A callable without parameters, called without arguments, runs its body
  // in a trampoline of its own, which keeps nothing across the pool's steps.
  [[gnu::always_inline]] static PyObject* entry_without_parameters(
      PyObject * self, PyObject* const* args_, Py_ssize_t nargs, PyObject* kwnames) {
    if constexpr (count == 0) {
      if (nargs == 0 && !kwnames) [[likely]] {
        if constexpr (self_count == 0)
          return call_trampoline([] { return run(nullptr); });
        else
          return call_trampoline([self] { return call(self, nullptr, 0, nullptr); });
      }
    }
    return general_entry(self, args_, nargs, kwnames);
  }

  [[gnu::noinline]] static PyObject* general_entry(PyObject * self, PyObject* const* args_,
                                                   Py_ssize_t nargs, PyObject* kwnames) {
    return call_trampoline([&] { return call_general(self, args_, nargs, kwnames); });
  }

  static constexpr bool fast_path = [] {
    return []<std::size_t... I>(std::index_sequence<I...>) {
      return (true && ... &&
              (detail::has_param_exact<std::tuple_element_t<I, AllParams>> &&
               std::is_default_constructible_v<
                   detail::param_slot_t<std::tuple_element_t<I, AllParams>>>));
    }
    (std::make_index_sequence<std::tuple_size_v<AllParams>>());
  }();

  // Arguments that are all given, in slot order, and convert exactly take no
  // detour.
  [[gnu::always_inline]] static Result<PyObject*> call(PyObject * self, PyObject* const* args_,
                                                       Py_ssize_t nargs, PyObject* kwnames) {
    if constexpr (keyword_only_count == 0 && fast_path) {
      typename detail::SlotsOf<AllParams>::type values;
      auto exact = [&]<std::size_t... I>(std::index_sequence<I...>) {
        if constexpr (self_count == 1)
          return detail::exact_into<Self>(self, std::get<0>(values), "self") &&
                 (detail::exact_into<std::tuple_element_t<I, Params>>(
                      args_[I], std::get<I + 1>(values), names[I]) &&
                  ...);
        else
          return (detail::exact_into<std::tuple_element_t<I, Params>>(args_[I], std::get<I>(values),
                                                                      names[I]) &&
                  ...);
      };
      bool in_order;
      if constexpr (count == 0)
        in_order = nargs == 0 && !kwnames;
      else
        in_order = detail::in_slot_order<params>(nargs, kwnames);
      if (in_order && exact(std::make_index_sequence<count>())) [[likely]]
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
          return run(
              self, detail::slot_value<std::tuple_element_t<I, AllParams>>(std::get<I>(values))...);
        }
      (std::make_index_sequence<std::tuple_size_v<AllParams>>());
    }
    return call_general(self, args_, nargs, kwnames);
  }

  // The entry CPython calls.
  [[gnu::always_inline]] static PyObject* entry(PyObject * self, PyObject* const* args_,
                                                Py_ssize_t nargs, PyObject* kwnames) {
    if constexpr (calls_directly) {
      using Direct = detail::DirectBody<body>;
      asm(".pushsection krenn_direct,\"aw\"\n\t.balign 8\n\t.quad %c0, %c1, %c2\n\t.popsection"
          :
          : "i"(&Function::entry), "i"(&detail::signature_tag<typename Direct::Signature>),
            "i"(&Direct::plain));
    }
    if constexpr (count == 0)
      return entry_without_parameters(self, args_, nargs, kwnames);
    else
      return call_trampoline([&]() __attribute__((always_inline)) {
        return call(self, args_, nargs, kwnames);
      });
  }

  // The function's record for its module's stub, never loaded: "function",
  // the name, the parameters with their types and defaults, the result's type
  // and the doc, separated by US and ended by NUL.
  static constexpr std::size_t write_stub(char* out) {
    std::size_t at = 0;
    auto put = [&](std::string_view text) {
      for (char c : text) {
        if (out) out[at] = c;
        ++at;
      }
    };
    constexpr auto param_names = per_param<std::string_view>([](const auto&, auto i) {
      return detail::python_name_of<std::tuple_element_t<i(), Params>>();
    });
    if constexpr (call_kind == CallKind::function) {
      put("function\x1f");
    } else {
      put(call_kind == CallKind::static_method ? "staticmethod\x1f" : "method\x1f");
      put(class_name);
      put(".");
    }
    put(decl.name.view());
    put("\x1f");
    write_params(
        put, [](std::size_t) {}, param_names.data());
    put("\x1f");
    if constexpr (returns_item < item_count)
      put(std::get<returns_item>(decl.items).annotation.view());
    else
      put(detail::result_name_of<typename detail::BodyTraits<decltype(body)>::result>());
    put("\x1f");
    put(decl.doc.with_nul());
    return at;
  }
  static constexpr auto stub_record = [] {
    std::array<char, write_stub(nullptr)> out{};
    write_stub(out.data());
    return out;
  }();

  // A std::function parameter given this function calls the body itself,
  // where a call through Python would differ only in its cost: a plain
  // function run with the GIL whose result cannot be empty.
  static constexpr bool calls_directly =
      call_kind == CallKind::function && !detail::BodyTraits<decltype(body)>::is_member &&
      !releases_gil && !refers_into_self &&
      !detail::may_be_empty<typename detail::BodyTraits<decltype(body)>::result>();

  static constexpr MethodSpec spec{
      .entry = &entry,
      .name = std::string_view(name_text.data(), name_text.size()),
      .doc = std::string_view(doc_text.data(), doc_text.size()),
      .flags =
          METH_FASTCALL | METH_KEYWORDS | (call_kind == CallKind::static_method ? METH_STATIC : 0),
  };
};

}  // namespace krenn

// Declares the native function that Python calls py_name: its body is
// callable, any function pointer constant (a qualified name, an overload
// picked with static_cast, a captureless lambda with +). Defines
// py_name##_spec, its MethodSpec, and py_name##_item, what KRENN_MODULE lists.
// The arguments after the doc are its parameters in order: "a"_a,
// "a"_a.positional_only() or "a"_a.keyword_only(), each optionally with a
// default ("a"_a = 10); among them may stand krenn::without_gil (the body runs
// without the GIL) and krenn::returns("str") (the result's type in the stub,
// for a body that returns a PyObject* or a krenn::Object).
#define KRENN_DEF(py_name, callable, doc, ...)                                                 \
  inline constexpr ::krenn::Declaration py_name##_declaration{#py_name,                        \
                                                              doc __VA_OPT__(, ) __VA_ARGS__}; \
  using py_name##_function = ::krenn::Function<callable, py_name##_declaration>;               \
  KRENN_STUB_RECORD static constexpr auto py_name##_stub = py_name##_function::stub_record;    \
  /* Declared first: g++ emits an unused extern constexpr only then. */                        \
  extern const ::krenn::MethodSpec py_name##_spec;                                             \
  constexpr ::krenn::MethodSpec py_name##_spec = py_name##_function::spec;                     \
  KRENN_DECLARE_ITEM(py_name)                                                                  \
  constexpr ::krenn::ModuleItem py_name##_item { &::krenn::add_function_item, &py_name##_spec }

// KRENN_DEF of the function `name` under its own name.
#define KRENN_FUNCTION(name, doc, ...) KRENN_DEF(name, name, doc __VA_OPT__(, ) __VA_ARGS__)
