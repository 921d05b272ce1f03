// Converter<T>: how a value of type T crosses between Python and C++. One
// specialization per type, in the header of its family; a module adds a type
// of its own by specializing it in its own header:
//
//   template <>
//   struct krenn::Converter<Point> {
//     static constexpr std::string_view python_name = "Point";  // signatures, stubs
//     // Parameters. exact() takes the common case inline and cannot fail:
//     // false sends the call down the general way, where convert() raises,
//     // naming the parameter (wrap_argument_error does that for a TypeError).
//     static bool exact(PyObject* obj, Point& out) noexcept;
//     static Result<Point> convert(PyObject* obj, std::string_view name);
//     // Results: a new reference, or the error. A type with an empty state
//     // sets may_be_empty and gives NULL for it.
//     static Result<PyObject*> to_python(const Point& value);
//   };
//
// A type used only for parameters, or only for results, leaves out the other half.
//
// A type that keeps something for the call (a buffer to release) or is not
// default-constructible converts into per-call storage instead:
//
//     using Holder = ...;  // default-constructible; destroyed after the body returns
//     static bool exact(PyObject* obj, Holder& out) noexcept;        // optional
//     static Result<void> convert(PyObject* obj, std::string_view name, Holder& out);
//     static Point& get(Holder& holder);  // what the body receives
//
// A type whose stub name differs for results (list[int] for Sequence[int])
// adds static constexpr std::string_view result_name.
//
// A parameter that keeps its argument's name for later (a view of a
// container names an element in the errors it raises as the body reads it)
// takes the name in exact() too:
//
//     static bool exact(PyObject* obj, Point& out, std::string_view name) noexcept;
//
// and one that touches Python objects while the body runs says so, which a
// body without the GIL cannot allow:
//
//     static constexpr bool needs_gil = true;
#pragma once

#include <Python.h>

#include <concepts>
#include <string_view>

#include "krenn/error.hpp"

namespace krenn {

template <typename T>
struct Converter;

template <typename T>
concept NamedExact = requires(PyObject* obj, T& out, std::string_view name) {
  { Converter<T>::exact(obj, out, name) } -> std::same_as<bool>;
};

template <typename T>
concept ParamType = requires(PyObject* obj, T& out, std::string_view name) {
  { Converter<T>::exact(obj, out) } -> std::same_as<bool>;
  { Converter<T>::convert(obj, name) } -> std::same_as<Result<T>>;
}
|| requires(PyObject* obj, std::string_view name, typename Converter<T>::Holder& holder) {
  // Per-call storage: the body gets get(holder), which lives until it returns.
  { Converter<T>::convert(obj, name, holder) } -> std::same_as<Result<void>>;
  Converter<T>::get(holder);
}
|| (NamedExact<T> && requires(PyObject * obj, std::string_view name) {
  { Converter<T>::convert(obj, name) } -> std::same_as<Result<T>>;
});

template <typename T>
concept ResultType = requires(T&& value) {
  {
    Converter<std::remove_cvref_t<T>>::to_python(std::forward<T>(value))
    } -> std::same_as<Result<PyObject*>>;
};

namespace detail {

// Whether Converter<T>::to_python gives NULL without an error for an empty
// value (an empty Handle or Object): the function raises that as a TypeError.
template <typename T>
inline constexpr bool result_may_be_empty = requires {
  requires Converter<T>::may_be_empty;
};

// The conversion error to a frame type ("'int' object cannot be converted to
// 'PyBool'"), naming the argument.
[[nodiscard, gnu::cold]] PyErr wrong_type(PyObject* obj, std::string_view name,
                                          std::string_view target);
// The interpreter's pending error, for a result it failed to make.
[[nodiscard, gnu::cold]] std::unexpected<PyErr> result_failed();
// TypeError "f() returned an empty object".
[[nodiscard, gnu::cold]] std::unexpected<PyErr> empty_result(std::string_view function);

}  // namespace detail

// A krenn function's body as C++ calls it, for a std::function parameter
// given the function: entry is the function's entry, signature the address
// of signature_tag<R(Args...)>, body that of a constant R (*)(Args...).
struct DirectCall {
  using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
  Entry entry;
  const void* signature;
  const void* body;
};
namespace detail {
template <typename Signature>
[[gnu::visibility("hidden")]] inline constexpr char signature_tag = 0;
}  // namespace detail

}  // namespace krenn
