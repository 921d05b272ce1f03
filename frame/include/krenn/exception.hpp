// C++ exception types as Python exception classes. KRENN_EXCEPTION declares
// one; a body that throws the C++ type raises the Python class with what().
#pragma once

#include <Python.h>

#include <exception>
#include <string_view>
#include <type_traits>
#include <typeinfo>

#include "krenn/class.hpp"
#include "krenn/module.hpp"
#include "krenn/type_name.hpp"

namespace krenn {

struct ExceptionSpec {
  std::string_view name;  // with its NUL
  std::string_view doc;   // with its NUL
  // The base class, borrowed; null with no error: a bound base not bound yet.
  PyObject* (*base)();
  const std::type_info* type;
  // Inside a handler: whether the exception in flight is of this type.
  bool (*catches)() noexcept;
  PyObject** slot;
};

// record: an ExceptionSpec.
[[nodiscard]] Result<void> add_exception_item(PyObject* module, const void* record);

namespace detail {

template <typename X>
struct ExceptionSlot {
  static inline constinit PyObject* type = nullptr;
};

template <typename X>
bool catches_current() noexcept {
  try {
    throw;
  } catch (const X&) {
    return true;
  } catch (...) {
    return false;
  }
}

// A base as KRENN_EXCEPTION takes it: a builtin class (PyExc_ValueError), or
// krenn::base<Other> for the exception that KRENN_EXCEPTION bound for Other.
inline PyObject* exception_base(PyObject* builtin) noexcept { return builtin; }
template <typename B>
PyObject* exception_base(BaseMember<B>) noexcept {
  return ExceptionSlot<B>::type;
}

// The base's name in the stub: the builtin's Python name, or the bound one's
// reference.
template <typename Base>
consteval std::string_view exception_base_stub(std::string_view spelled) {
  if constexpr (requires { typename Base::type; }) {
    return {stub_type_ref<typename Base::type>.data(), stub_type_ref<typename Base::type>.size()};
  } else {
    std::size_t at = spelled.rfind("PyExc_");
    return at == std::string_view::npos ? std::string_view("Exception") : spelled.substr(at + 6);
  }
}

}  // namespace detail

template <typename X, const std::string_view& py_name, const auto& doc,
          const std::string_view& base_stub, PyObject* (*base)()>
struct Exception {
  static_assert(std::is_base_of_v<std::exception, X>,
                "KRENN_EXCEPTION binds a class derived from std::exception: its what() is the "
                "message");
  static_assert(!checks::has_nul(doc.view()), "an exception doc must not hold a NUL byte");
  static_assert(checks::valid_utf8(doc.view()), "an exception doc must be valid UTF-8");

  static constexpr auto name_text = [] {
    std::array<char, py_name.size() + 1> out{};
    for (std::size_t i = 0; i < py_name.size(); ++i) out[i] = py_name[i];
    return out;
  }();

  // "exception", name, type, base, doc.
  static constexpr void write_stub(detail::TextWriter& w) {
    w.put("exception\x1f");
    w.put(py_name);
    w.put("\x1f");
    w.put({detail::stub_type_ref<X>.data(), detail::stub_type_ref<X>.size()});
    w.put("\x1f");
    w.put(base_stub);
    w.put("\x1f");
    w.put(doc.with_nul());
  }
  static constexpr auto stub_record = detail::composed_text<&write_stub>;

  static constexpr ExceptionSpec spec{
      .name = std::string_view(name_text.data(), name_text.size()),
      .doc = doc.with_nul(),
      .base = base,
      .type = &typeid(X),
      .catches = &detail::catches_current<X>,
      .slot = &detail::ExceptionSlot<X>::type,
  };
};

}  // namespace krenn

// Declares the Python exception class py_name for the C++ exception type
// CppException (derived from std::exception), deriving from base: a builtin
// class as the C API names it (PyExc_ValueError), or krenn::base<Other> for
// Other's KRENN_EXCEPTION, which KRENN_MODULE lists before this one. A body
// that throws a CppException raises py_name with what() as its message; of
// several bound types that catch it, its own type's, else the last listed.
#define KRENN_EXCEPTION(py_name, CppException, base, doc)                                    \
  inline constexpr std::string_view py_name##_exception_name = #py_name;                     \
  inline constexpr ::krenn::FixedText py_name##_exception_doc{doc};                          \
  inline constexpr std::string_view py_name##_exception_base =                               \
      ::krenn::detail::exception_base_stub<std::remove_cvref_t<decltype(base)>>(#base);      \
  using py_name##_exception =                                                                \
      ::krenn::Exception<CppException, py_name##_exception_name, py_name##_exception_doc,    \
                         py_name##_exception_base,                                           \
                         +[]() noexcept { return ::krenn::detail::exception_base(base); }>;  \
  KRENN_STUB_RECORD static constexpr auto py_name##_stub = py_name##_exception::stub_record; \
  KRENN_DECLARE_ITEM(py_name)                                                                \
  constexpr ::krenn::ModuleItem py_name##_item {                                             \
    &::krenn::add_exception_item, &py_name##_exception::spec                                 \
  }
