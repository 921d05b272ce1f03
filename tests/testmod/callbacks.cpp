// Declared functions that take callbacks and buffers.
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "krenn/callback.hpp"
#include "krenn/function.hpp"
#include "testmod.hpp"

namespace krenn::testing {

std::int64_t apply(std::function<std::int64_t(std::int64_t)> f, std::int64_t x) { return f(x); }
KRENN_FUNCTION(apply, "Returns f(x).", "f"_a, "x"_a);

std::int64_t apply_without_gil(std::function<std::int64_t(std::int64_t)> f, std::int64_t x) {
  return f(x);
}
KRENN_FUNCTION(apply_without_gil, "", "f"_a, "x"_a, krenn::without_gil);

// f(x) on a thread of its own, which never held the GIL; what f raises comes
// back through the body.
std::int64_t apply_in_thread(std::function<std::int64_t(std::int64_t)> f, std::int64_t x) {
  std::int64_t result = 0;
  std::exception_ptr failed;
  std::thread([=, &result, &failed] {
    try {
      std::function<std::int64_t(std::int64_t)> copy = f;
      result = copy(x);
    } catch (...) {
      failed = std::current_exception();
    }
  }).join();
  if (failed) std::rethrow_exception(failed);
  return result;
}
KRENN_FUNCTION(apply_in_thread, "", "f"_a, "x"_a, krenn::without_gil);

void call_void(std::function<void()> f) { f(); }
KRENN_FUNCTION(call_void, "", "f"_a);

std::string call_mixed(std::function<std::string(std::string_view, double, bool, Bytes)> f) {
  return f("text", 2.5, true, Bytes(std::string_view("\x00\xff", 2)));
}
KRENN_FUNCTION(call_mixed, "", "f"_a);

// What C++ code sees when it catches what f raised: what(), twice.
std::string caught_text(std::function<void()> f) {
  try {
    f();
  } catch (const python_error& e) {
    std::string first = e.what();
    return first + "|" + e.what();
  }
  return "";
}
KRENN_FUNCTION(caught_text, "", "f"_a);

std::optional<std::function<std::int64_t(std::int64_t)>> kept;

void keep(std::function<std::int64_t(std::int64_t)> f) { kept = f; }
KRENN_FUNCTION(keep, "", "f"_a);

std::int64_t call_kept(std::int64_t x) { return (*kept)(x); }
KRENN_FUNCTION(call_kept, "", "x"_a);

void drop_kept_without_gil() { kept.reset(); }
KRENN_FUNCTION(drop_kept_without_gil, "", krenn::without_gil);

std::string_view callable_name() {
  return Converter<std::function<std::optional<std::string>(std::int64_t, Bytes)>>::python_name;
}
KRENN_FUNCTION(callable_name, "The stub's name of a std::function type.");

constexpr const MethodSpec* callback_functions[] = {
    &callable_name_spec,         &apply_spec,     &apply_without_gil_spec,
    &apply_in_thread_spec,       &call_void_spec, &call_mixed_spec,
    &caught_text_spec,           &keep_spec,      &call_kept_spec,
    &drop_kept_without_gil_spec,
};

std::span<const MethodSpec* const> callback_specs() { return callback_functions; }

}  // namespace krenn::testing
