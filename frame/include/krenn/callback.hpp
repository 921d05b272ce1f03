// std::function<R(Args...)> parameters: any Python callable. Calling it takes
// the GIL when the thread lacks it (a body without the GIL, a thread of the
// body's own), converts the arguments with their converters' to_python, and
// the result with R's converter; what the callable raises, and a result that
// does not convert, are thrown as python_error. Every copy keeps the callable
// alive, and copies may be made and dropped on any thread. A std::function
// result is the callable it came from, or a builtin that owns it.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "krenn/boundary.hpp"
#include "krenn/bytes.hpp"
#include "krenn/converter.hpp"
#include "krenn/objects.hpp"
#include "krenn/pool.hpp"
#include "krenn/python_error.hpp"
#include "krenn/str.hpp"

namespace krenn {

namespace detail {

// Py_INCREF, with the GIL taken first on a thread that lacks it.
void incref_anywhere(PyObject* obj);
[[nodiscard, gnu::cold]] PyErr not_callable(PyObject* obj, std::string_view name);
// The error for a result that did not convert: a TypeError naming the
// callable, caused by the conversion's own error.
[[noreturn, gnu::cold]] void throw_result_error(PyObject* callable, PyObject* result,
                                                std::string_view expected, PyErr cause);

// A type's name where Python hands it out (an argument of the callable) and
// where Python gives it (its result).
template <typename T>
consteval std::string_view given_name() {
  if constexpr (std::is_void_v<T>)
    return "None";
  else if constexpr (requires { Converter<T>::result_name; })
    return Converter<T>::result_name;
  else if constexpr (requires { Converter<T>::python_name; })
    return Converter<T>::python_name;
  else
    return "object";
}
template <typename T>
consteval std::string_view taken_name() {
  if constexpr (std::is_void_v<T>)
    return "None";
  else if constexpr (requires { Converter<T>::python_name; })
    return Converter<T>::python_name;
  else
    return "object";
}

// A parameter's callable takes what C++ gives and gives what C++ takes; a
// result's, the other way round.
template <bool as_result, typename R, typename... Args>
struct CallableName {
  static constexpr std::size_t write(char* out) {
    std::size_t at = 0;
    auto put = [&](std::string_view text) {
      for (char c : text) {
        if (out) out[at] = c;
        ++at;
      }
    };
    put("collections.abc.Callable[[");
    std::size_t i = 0;
    ((put(i++ ? ", " : ""), put(as_result ? taken_name<std::remove_cvref_t<Args>>()
                                          : given_name<std::remove_cvref_t<Args>>())),
     ...);
    put("], ");
    put(as_result ? given_name<std::remove_cvref_t<R>>() : taken_name<std::remove_cvref_t<R>>());
    put("]");
    return at;
  }
  static constexpr auto text = [] {
    std::array<char, write(nullptr)> out{};
    write(out.data());
    return out;
  }();
};

// Results that view the callable's result object would dangle once it is released.
template <typename T>
inline constexpr bool views_result =
    std::is_same_v<T, std::string_view> || std::is_same_v<T, Bytes> || std::is_same_v<T, Handle> ||
    std::is_same_v<T, const char*>;

// One reference to the callable, owned by each copy of the function.
class CallableRef {
 public:
  explicit CallableRef(PyObject* obj) noexcept : obj_(Py_NewRef(obj)) {}
  CallableRef(const CallableRef& other) : obj_(other.obj_) { incref_anywhere(obj_); }
  CallableRef(CallableRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  CallableRef& operator=(const CallableRef&) = delete;
  CallableRef& operator=(CallableRef&&) = delete;
  ~CallableRef() {
    if (obj_) release_ref(obj_);
  }
  [[nodiscard]] PyObject* get() const noexcept { return obj_; }

 private:
  PyObject* obj_;
};

// One spare block for the std::function's own copy of a callable, which is
// made and dropped once per call of a function that takes one: it keeps the
// allocator off that path. Shared by all threads; a miss falls back to new.
inline constinit std::atomic<void*> spare_callable_block{nullptr};
inline constexpr std::size_t callable_block_size = sizeof(CallableRef);

template <typename R, typename... Args>
class PythonCallable {
 public:
  explicit PythonCallable(PyObject* obj) noexcept : ref_(obj) {}

  static void* operator new(std::size_t size) {
    static_assert(sizeof(PythonCallable) == callable_block_size);
    if (void* block = spare_callable_block.exchange(nullptr, std::memory_order_acquire)) [[likely]]
      return block;
    return ::operator new(size);
  }
  static void operator delete(void* block) noexcept {
    void* empty = nullptr;
    if (!spare_callable_block.compare_exchange_strong(empty, block, std::memory_order_release))
      ::operator delete(block);
  }

  R operator()(Args... args) const {
    if (gil_is_held()) [[likely]]
      return call(std::forward<Args>(args)...);
    GilEnsureGuard gil = acquire_gil();
    return call(std::forward<Args>(args)...);
  }

  [[nodiscard]] PyObject* object() const noexcept { return ref_.get(); }

 private:
  static constexpr std::size_t count = sizeof...(Args);

  R call(Args... args) const {
    // One slot in front, which the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    std::array<PyObject*, count + 1> slots{};
    std::size_t made = 0;
    std::optional<PyErr> failed;
    [[maybe_unused]] auto put = [&](auto&& arg) {
      if (failed) return;
      Result<PyObject*> obj = Converter<std::remove_cvref_t<decltype(arg)>>::to_python(
          std::forward<decltype(arg)>(arg));
      if (obj)
        slots[++made] = *obj;
      else
        failed.emplace(std::move(obj.error()));
    };
    (put(std::forward<Args>(args)), ...);
    PyObject* result = nullptr;
    if (!failed) [[likely]]
      result = PyObject_Vectorcall(ref_.get(), slots.data() + 1,
                                   count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    for (std::size_t i = 1; i <= made; ++i) Py_DECREF(slots[i]);
    if (failed) [[unlikely]]
      throw_error(std::move(*failed));
    if (!result) [[unlikely]]
      throw_pending_error();
    return from_result(result);
  }

  R from_result(PyObject* result) const {
    if constexpr (std::is_void_v<R>) {
      Py_DECREF(result);
    } else {
      using T = std::remove_cvref_t<R>;
      static_assert(!views_result<T>,
                    "a callback's result is released once converted: return an owning type "
                    "(std::string, not std::string_view)");
      if constexpr (std::is_default_constructible_v<T>) {
        T value;
        if (Converter<T>::exact(result, value)) [[likely]] {
          Py_DECREF(result);
          return value;
        }
      }
      Result<T> value = Converter<T>::convert(result, "result");
      if (!value) [[unlikely]]
        fail_result(result, std::move(value.error()));
      Py_DECREF(result);
      return std::move(*value);
    }
  }

  [[noreturn, gnu::noinline]] void fail_result(PyObject* result, PyErr cause) const {
    Owned held(result);
    throw_result_error(ref_.get(), result, taken_name<std::remove_cvref_t<R>>(), std::move(cause));
  }

  CallableRef ref_;
};

// The krenn function of this frame that obj is, if it is one that C++ may
// call directly (see Function::calls_directly); else null.
[[nodiscard]] const DirectCall* direct_call_of(PyObject* obj) noexcept;

// A krenn function's body, called without a round trip through Python: as
// through Python, it runs with the GIL. object is the function, kept alive by
// the table of direct calls for the rest of the process.
template <typename R, typename... Args>
struct DirectCallable {
  R (*body)(Args...);
  PyObject* object;

  R operator()(Args... args) const {
    if (gil_is_held()) [[likely]]
      return body(std::forward<Args>(args)...);
    return with_gil(body, std::forward<Args>(args)...);
  }
  [[gnu::noinline]] static R with_gil(R (*f)(Args...), Args... args) {
    GilEnsureGuard gil = acquire_gil();
    return f(std::forward<Args>(args)...);
  }
};

// A std::function that came from C++, as a Python callable: a builtin whose
// self is a capsule that owns the function.
[[nodiscard]] Result<PyObject*> new_cpp_callable(PyMethodDef& def, void* function,
                                                 PyCapsule_Destructor destroy);
[[nodiscard, gnu::cold]] PyErr callable_arity_error(std::size_t expected, Py_ssize_t given);
[[nodiscard]] void* cpp_callable_function(PyObject* capsule) noexcept;

template <typename R, typename... Args>
struct CppCallable {
  using Function = std::function<R(Args...)>;
  static constexpr std::size_t count = sizeof...(Args);
  static_assert(count <= 9, "a std::function result takes at most 9 arguments");
  // Arguments are named by position in conversion errors.
  static constexpr std::string_view positions[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9"};

  static PyObject* entry(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs) {
    return call_trampoline([&]() -> Result<PyObject*> {
      if (nargs != static_cast<Py_ssize_t>(count)) [[unlikely]]
        return failure(callable_arity_error(count, nargs));
      auto& f = *static_cast<Function*>(cpp_callable_function(capsule));
      return convert_from<0>(f, args);
    });
  }

  template <std::size_t I, typename... Done>
  static Result<PyObject*> convert_from(Function& f, PyObject* const* args, Done&&... done) {
    if constexpr (I == count) {
      if constexpr (std::is_void_v<R>) {
        f(std::forward<Done>(done)...);
        return Py_NewRef(Py_None);
      } else {
        return Converter<std::remove_cvref_t<R>>::to_python(f(std::forward<Done>(done)...));
      }
    } else {
      using T = std::remove_cvref_t<std::tuple_element_t<I, std::tuple<Args...>>>;
      if constexpr (requires { typename Converter<T>::Holder; }) {
        typename Converter<T>::Holder holder{};
        if (Result<void> got = Converter<T>::convert(args[I], positions[I], holder); !got)
            [[unlikely]]
          return failure(std::move(got.error()));
        return convert_from<I + 1>(f, args, std::forward<Done>(done)..., Converter<T>::get(holder));
      } else {
        Result<T> value = Converter<T>::convert(args[I], positions[I]);
        if (!value) [[unlikely]]
          return failure(std::move(value.error()));
        return convert_from<I + 1>(f, args, std::forward<Done>(done)..., std::move(*value));
      }
    }
  }

  static void destroy(PyObject* capsule) {
    std::unique_ptr<Function> gone(static_cast<Function*>(cpp_callable_function(capsule)));
  }

  static inline PyMethodDef def{"callback", reinterpret_cast<PyCFunction>(&entry), METH_FASTCALL,
                                nullptr};
};

}  // namespace detail

template <typename R, typename... Args>
struct Converter<std::function<R(Args...)>> {
  using Function = std::function<R(Args...)>;
  using Target = detail::PythonCallable<R, Args...>;
  using Direct = detail::DirectCallable<R, Args...>;
  static constexpr std::string_view python_name{
      detail::CallableName<false, R, Args...>::text.data(),
      detail::CallableName<false, R, Args...>::text.size()};
  static constexpr std::string_view result_name{
      detail::CallableName<true, R, Args...>::text.data(),
      detail::CallableName<true, R, Args...>::text.size()};

  // What the function is made of, until the body takes it: the function is
  // made there, in the body's own parameter. obj is borrowed, as arguments are.
  struct Holder {
    PyObject* obj = nullptr;
    Direct direct{};
  };
  // get() makes a function that owns what it needs: it may outlive the holder.
  static constexpr bool value_outlives_holder = true;

  [[nodiscard]] static bool exact(PyObject* obj, Holder& out) noexcept {
    if (obj == last_direct.object) [[likely]] {
      out.direct = last_direct;
      return true;
    }
    if (!Py_TYPE(obj)->tp_call) return false;  // PyCallable_Check, inline
    take(obj, out);
    return true;
  }
  [[nodiscard]] static Result<void> convert(PyObject* obj, std::string_view name, Holder& out) {
    if (!PyCallable_Check(obj)) return failure(detail::not_callable(obj, name));
    take(obj, out);
    return {};
  }
  [[nodiscard]] static Function get(const Holder& held) {
    if (held.direct.body) return Function(held.direct);
    return Function(Target(held.obj));
  }

  // A krenn function of this signature is called as C++; any other callable
  // through Python.
  static void take(PyObject* obj, Holder& out) noexcept {
    out.obj = obj;
    if (Py_IS_TYPE(obj, &PyCFunction_Type)) out.direct = direct_of(obj);
  }
  [[gnu::noinline]] static Direct direct_of(PyObject* obj) noexcept {
    const DirectCall* direct = detail::direct_call_of(obj);
    if (!direct || direct->signature != &detail::signature_tag<R(Args...)>) return {};
    last_direct = Direct{*static_cast<R (*const*)(Args...)>(direct->body), obj};
    return last_direct;
  }
  // Read and written with the GIL held. A function in the table of direct
  // calls lives as long as the process, so its address stays its own.
  static constinit inline Direct last_direct{};
  // The callable it was made from, if it came from Python; else a builtin
  // that calls it; None for an empty one.
  [[nodiscard]] static Result<PyObject*> to_python(Function f) {
    if (!f) return Py_NewRef(Py_None);
    if (const Target* from_python = f.template target<Target>())
      return Py_NewRef(from_python->object());
    if (const Direct* direct = f.template target<Direct>()) return Py_NewRef(direct->object);
    using Cpp = detail::CppCallable<R, Args...>;
    auto held = std::make_unique<Function>(std::move(f));
    Result<PyObject*> callable = detail::new_cpp_callable(Cpp::def, held.get(), &Cpp::destroy);
    if (callable) (void)held.release();  // the capsule owns it now
    return callable;
  }
};

}  // namespace krenn
