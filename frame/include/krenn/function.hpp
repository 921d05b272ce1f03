// Native functions declared once: a Python name, the parameter names, a doc
// and a C++ body with typed parameters. The parameter description, the slot
// array, the text signature, the entry and the MethodSpec follow from them
// when compiling.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "krenn/arguments.hpp"
#include "krenn/boundary.hpp"
#include "krenn/module.hpp"

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

// A parameter: its name and how it may be passed. Whether it may be left out
// is the body's to say, by taking a std::optional.
template <std::size_t N>
struct Arg {
  FixedText<N> name;
  ParamKind kind = ParamKind::positional;

  [[nodiscard]] consteval Arg positional_only() const { return {name, ParamKind::positional_only}; }
  [[nodiscard]] consteval Arg keyword_only() const { return {name, ParamKind::keyword_only}; }
};

inline namespace literals {

// "a"_a: the parameter named a.
template <FixedText Name>
consteval Arg<sizeof(Name.data)> operator""_a() {
  return {Name};
}

}  // namespace literals

// How an argument becomes a body parameter of type T; one specialization per
// type. exact() takes the common case inline and cannot fail: false sends the
// call down the general way, where convert() raises, naming the parameter.
template <typename T>
struct ArgConverter;

template <>
struct ArgConverter<std::uint64_t> {
  static bool exact(PyObject* obj, std::uint64_t& out) noexcept { return exact_u64(obj, out); }
  static Result<std::uint64_t> convert(PyObject* obj, std::string_view name) {
    return argument_to_u64(obj, name);
  }
};

// An optional parameter: not given, or None, is empty.
template <typename T>
struct ArgConverter<std::optional<T>> {
  static bool exact(PyObject* obj, std::optional<T>& out) noexcept {
    T value;
    if (!ArgConverter<T>::exact(obj, value)) return false;
    out = std::move(value);
    return true;
  }
  static Result<std::optional<T>> convert(PyObject* obj, std::string_view name) {
    if (!obj || obj == Py_None) return std::optional<T>();
    Result<T> value = ArgConverter<T>::convert(obj, name);
    if (!value) return failure(std::move(value.error()));
    return std::optional<T>(std::move(*value));
  }
};

namespace detail {

template <typename T>
inline constexpr bool is_optional_param = false;
template <typename T>
inline constexpr bool is_optional_param<std::optional<T>> = true;

template <typename Body>
struct BodyParams;
template <typename... Ts>
struct BodyParams<Result<PyObject*> (*)(Ts...)> {
  using type = std::tuple<std::remove_cvref_t<Ts>...>;
};

}  // namespace detail

// What a declaration names: the function, its doc and its parameters in order.
template <std::size_t NameSize, std::size_t DocSize, std::size_t... ArgSizes>
struct Declaration {
  FixedText<NameSize> name;
  FixedText<DocSize> doc;
  std::tuple<Arg<ArgSizes>...> args;

  consteval Declaration(const char (&name_)[NameSize], const char (&doc_)[DocSize],
                        Arg<ArgSizes>... args_)
      : name(name_), doc(doc_), args(args_...) {}
};

// The native function that decl declares, with this body. Keyed by the
// declaration object, so that symbols name the function rather than its texts.
template <auto body, const auto& decl>
struct Function {
  using Params = typename detail::BodyParams<decltype(body)>::type;
  static constexpr std::size_t count = std::tuple_size_v<decltype(decl.args)>;
  static_assert(count == std::tuple_size_v<Params>, "one declared name per body parameter");

  template <typename T, typename Each>
  static constexpr auto per_param(Each each) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return std::array<T, count>{
          each(std::get<I>(decl.args), std::integral_constant<std::size_t, I>())...};
    }
    (std::make_index_sequence<count>());
  }
  // Read when compiling only: the texts that calls use are in doc_text below,
  // so the declaration itself takes no space in the module.
  static constexpr auto declared_names =
      per_param<std::string_view>([](const auto& arg, auto) { return arg.name.view(); });
  static constexpr auto kinds =
      per_param<ParamKind>([](const auto& arg, auto) { return arg.kind; });
  static constexpr auto optional = per_param<bool>([](const auto&, auto i) {
    return detail::is_optional_param<std::tuple_element_t<i(), Params>>;
  });

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
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) put(", ");
      if (kinds[i] == ParamKind::keyword_only && (i == 0 || kinds[i - 1] != kinds[i])) put("*, ");
      if (name_at) name_at[i] = at;
      put(declared_names[i]);
      if (optional[i]) put("=None");
      if (i + 1 == positional_only_count) put(", /");
    }
    put(")\n--\n\n");
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
      .class_name = std::nullopt,
      .positional_only_count = positional_only_count,
      .required_positional_count = required_positional_count,
  };

  // Every call: binding, conversion in declaration order, and the errors.
  [[gnu::noinline]] static Result<PyObject*> call_general(PyObject* const* args_, Py_ssize_t nargs,
                                                          PyObject* kwnames) {
    std::array<PyObject*, slot_count(params)> slots;
    Result<PyObject* const*> bound = bind_arguments<params>(args_, nargs, kwnames, slots);
    if (!bound) return failure(std::move(bound.error()));
    return convert_from<0>(*bound);
  }

  template <std::size_t I, typename... Done>
  [[gnu::always_inline]] static Result<PyObject*> convert_from(PyObject* const* values,
                                                               Done&&... done) {
    if constexpr (I == count) {
      return body(std::forward<Done>(done)...);
    } else {
      using T = std::tuple_element_t<I, Params>;
      constexpr std::string_view param_name = names[I];  // an immediate, not a load
      Result<T> value = ArgConverter<T>::convert(values[I], param_name);
      if (!value) [[unlikely]]
        return failure(std::move(value.error()));
      return convert_from<I + 1>(values, std::forward<Done>(done)..., std::move(*value));
    }
  }

  // Arguments that are all given, in slot order, and convert exactly take no
  // detour.
  [[gnu::always_inline]] static Result<PyObject*> call(PyObject* const* args_, Py_ssize_t nargs,
                                                       PyObject* kwnames) {
    if constexpr (keyword_only_count == 0 && count > 0) {
      Params values;
      auto exact = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (
            ArgConverter<std::tuple_element_t<I, Params>>::exact(args_[I], std::get<I>(values)) &&
            ...);
      };
      if (detail::in_slot_order<params>(nargs, kwnames) && exact(std::make_index_sequence<count>()))
          [[likely]]
        return std::apply(body, std::move(values));
    }
    return call_general(args_, nargs, kwnames);
  }

  [[nodiscard]] static constexpr MethodSpec method_spec(FastcallEntry entry) {
    return {
        .entry = entry,
        .name = std::string_view(name_text.data(), name_text.size()),
        .doc = std::string_view(doc_text.data(), doc_text.size()),
        .flags = METH_FASTCALL | METH_KEYWORDS,
    };
  }
};

}  // namespace krenn

// Declares the native function `name`, whose body is the C++ function `name`
// in the enclosing namespace: defines name##_params (its ParamSpec), the entry
// name##_entry and name##_spec, the MethodSpec that new_function takes. The
// arguments after the doc are its parameters in order: "a"_a, and
// "a"_a.positional_only() or "a"_a.keyword_only().
#define KRENN_FUNCTION(name, doc, ...)                                                             \
  inline constexpr ::krenn::Declaration name##_declaration{#name, doc __VA_OPT__(, ) __VA_ARGS__}; \
  using name##_function = ::krenn::Function<name, name##_declaration>;                             \
  inline constexpr const ::krenn::ParamSpec& name##_params = name##_function::params;              \
  /* Not noexcept: a thread's forced unwind must be able to pass. */                               \
  PyObject* name##_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,              \
                         PyObject* kwnames) {                                                      \
    return ::krenn::call_trampoline(                                                               \
        [&]() { return name##_function::call(args, nargs, kwnames); });                            \
  }                                                                                                \
  /* Declared first: g++ emits an unused extern constexpr only then. */                            \
  extern const ::krenn::MethodSpec name##_spec;                                                    \
  constexpr ::krenn::MethodSpec name##_spec = name##_function::method_spec(name##_entry)
