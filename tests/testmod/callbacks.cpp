// Declared functions that take callbacks and buffers.
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "krenn/buffer.hpp"
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

// A krenn function of f's signature is called as C++: what it throws arrives
// as itself.
using IntFunction = std::function<std::int64_t(std::int64_t)>;
bool calls_directly(IntFunction f) {
  return f.target<detail::DirectCallable<std::int64_t, std::int64_t>>() != nullptr;
}
KRENN_FUNCTION(calls_directly, "", "f"_a);

IntFunction same_function(IntFunction f) { return f; }
KRENN_FUNCTION(same_function, "", "f"_a);

std::int64_t refuse_odd(std::int64_t x) {
  if (x % 2) throw std::invalid_argument("odd");
  return x;
}
KRENN_FUNCTION(refuse_odd, "", "x"_a);

std::int64_t refuse_odd_without_gil(std::int64_t x) { return refuse_odd(x); }
KRENN_FUNCTION(refuse_odd_without_gil, "", "x"_a, krenn::without_gil);

std::int64_t catch_invalid(IntFunction f, std::int64_t x) {
  try {
    return f(x);
  } catch (const std::invalid_argument&) {
    return -1;
  }
}
KRENN_FUNCTION(catch_invalid, "", "f"_a, "x"_a);

// Functions also cross inside other types.
std::int64_t apply_all(std::vector<IntFunction> fs, std::optional<IntFunction> last,
                       std::int64_t x) {
  for (const IntFunction& f : fs) x = f(x);
  return last ? (*last)(x) : x;
}
KRENN_FUNCTION(apply_all, "", "fs"_a, "last"_a, "x"_a = 0);

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

// A C++ function as a Python callable: adds n; and f handed back as it came.
std::function<std::int64_t(std::int64_t, std::string_view)> adder(std::int64_t n) {
  return [n](std::int64_t x, std::string_view s) {
    return x + n + static_cast<std::int64_t>(s.size());
  };
}
KRENN_FUNCTION(adder, "", "n"_a);

std::function<void()> same_callable(std::function<void()> f) { return f; }
KRENN_FUNCTION(same_callable, "", "f"_a);

std::function<void()> no_callable() { return {}; }
KRENN_FUNCTION(no_callable, "");

std::string_view result_callable_name() {
  return Converter<std::function<std::optional<std::string>(std::int64_t, Bytes)>>::result_name;
}
KRENN_FUNCTION(result_callable_name, "");

std::string_view callable_name() {
  return Converter<std::function<std::optional<std::string>(std::int64_t, Bytes)>>::python_name;
}
KRENN_FUNCTION(callable_name, "The stub's name of a std::function type.");

double sum_doubles(std::span<const double> xs) {
  double total = 0;
  for (double x : xs) total += x;
  return total;
}
KRENN_FUNCTION(sum_doubles, "", "xs"_a);

double sum_doubles_without_gil(std::span<const double> xs) { return sum_doubles(xs); }
KRENN_FUNCTION(sum_doubles_without_gil, "", "xs"_a, krenn::without_gil);

std::int64_t sum_ints(std::span<const std::int32_t> xs) {
  std::int64_t total = 0;
  for (std::int32_t x : xs) total += x;
  return total;
}
KRENN_FUNCTION(sum_ints, "", "xs"_a);

std::uint64_t sum_bytes(std::span<const std::byte> data) {
  std::uint64_t total = 0;
  for (std::byte b : data) total += std::to_integer<unsigned>(b);
  return total;
}
KRENN_FUNCTION(sum_bytes, "", "data"_a);

// Takes a buffer: its sum.
std::function<std::uint64_t(std::span<const std::byte>)> byte_summer() { return sum_bytes; }
KRENN_FUNCTION(byte_summer, "");

// f runs while the buffer is held; the size is read after it.
std::size_t size_around(std::span<const std::byte> data, std::function<void()> f) {
  f();
  return data.size();
}
KRENN_FUNCTION(size_around, "", "data"_a, "f"_a);

std::size_t bytes_size_around(Bytes data, std::function<void()> f) {
  f();
  return data.size();
}
KRENN_FUNCTION(bytes_size_around, "", "data"_a, "f"_a);

std::string_view buffer_name() { return Converter<std::span<const float>>::python_name; }
KRENN_FUNCTION(buffer_name, "");

constexpr const MethodSpec* callback_functions[] = {
    &callable_name_spec,
    &byte_summer_spec,
    &adder_spec,
    &same_callable_spec,
    &no_callable_spec,
    &result_callable_name_spec,
    &sum_doubles_spec,
    &sum_doubles_without_gil_spec,
    &sum_ints_spec,
    &sum_bytes_spec,
    &size_around_spec,
    &bytes_size_around_spec,
    &buffer_name_spec,
    &apply_spec,
    &calls_directly_spec,
    &apply_all_spec,
    &same_function_spec,
    &refuse_odd_spec,
    &refuse_odd_without_gil_spec,
    &catch_invalid_spec,
    &apply_without_gil_spec,
    &apply_in_thread_spec,
    &call_void_spec,
    &call_mixed_spec,
    &caught_text_spec,
    &keep_spec,
    &call_kept_spec,
    &drop_kept_without_gil_spec,
};

std::span<const MethodSpec* const> callback_specs() { return callback_functions; }

}  // namespace krenn::testing
