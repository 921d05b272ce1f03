// Declared functions for each converted type, both ways, and for what a body
// may do: return nothing or an error, throw, run without the GIL.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "krenn/decimal.hpp"
#include "krenn/function.hpp"
#include "testmod.hpp"

namespace krenn::testing {

template <typename T>
T round_trip(T value) {
  return value;
}

#define KRENN_TEST_ROUND_TRIP(name, type)  \
  constexpr auto name = &round_trip<type>; \
  KRENN_FUNCTION(name, "Returns x as it came.", "x"_a)

KRENN_TEST_ROUND_TRIP(as_schar, signed char);
KRENN_TEST_ROUND_TRIP(as_uchar, unsigned char);
KRENN_TEST_ROUND_TRIP(as_short, short);
KRENN_TEST_ROUND_TRIP(as_ushort, unsigned short);
KRENN_TEST_ROUND_TRIP(as_int, int);
KRENN_TEST_ROUND_TRIP(as_uint, unsigned);
KRENN_TEST_ROUND_TRIP(as_long, long);
KRENN_TEST_ROUND_TRIP(as_ulong, unsigned long);
KRENN_TEST_ROUND_TRIP(as_longlong, long long);
KRENN_TEST_ROUND_TRIP(as_ulonglong, unsigned long long);
KRENN_TEST_ROUND_TRIP(as_bool, bool);
KRENN_TEST_ROUND_TRIP(as_double, double);
KRENN_TEST_ROUND_TRIP(as_float, float);
KRENN_TEST_ROUND_TRIP(as_str_view, std::string_view);
KRENN_TEST_ROUND_TRIP(as_string, std::string);
KRENN_TEST_ROUND_TRIP(as_bytes, Bytes);
KRENN_TEST_ROUND_TRIP(as_handle, Handle);
KRENN_TEST_ROUND_TRIP(as_object, Object);
KRENN_TEST_ROUND_TRIP(as_optional, std::optional<std::int64_t>);
static_assert(std::is_same_v<std::int64_t, long> && std::is_same_v<std::size_t, unsigned long>);

Object defaults(std::int64_t a, std::int64_t b, std::string_view s, double f, bool flag,
                std::optional<std::int64_t> n) {
  return Object::steal(Py_BuildValue(
      "(LLs#dOO)", static_cast<long long>(a), static_cast<long long>(b), s.data(),
      static_cast<Py_ssize_t>(s.size()), f, flag ? Py_True : Py_False, n ? Py_True : Py_False));
}
KRENN_FUNCTION(defaults, "Returns its arguments; n as whether it was given.", "a"_a, "b"_a = -10,
               "s"_a = "it's", "f"_a = 0.1, "flag"_a = true, "n"_a.keyword_only());

std::string_view named_default(std::string_view s, std::uint8_t small, float third) {
  return third > 0.3f && small == 255 ? s : std::string_view("?");
}
KRENN_FUNCTION(named_default, "", "s"_a = "a\"b\\\n", "small"_a = 255, "third"_a = 1.0f / 3);

void nothing() {}
KRENN_FUNCTION(nothing, "Returns None.");

const char* c_text(bool null) { return null ? nullptr : "caf\xc3\xa9"; }
KRENN_FUNCTION(c_text, "", "null"_a);

std::string not_utf8() { return std::string("ab\xff", 3); }
KRENN_FUNCTION(not_utf8, "");

Result<std::int64_t> checked(std::int64_t x) {
  if (x < 0) return failure(new_value_error("negative"));
  return x;
}
KRENN_FUNCTION(checked, "", "x"_a);

Result<void> checked_void(bool ok) {
  if (!ok) return failure(new_value_error("not ok"));
  return {};
}
KRENN_FUNCTION(checked_void, "", "ok"_a);

std::optional<std::string> maybe_text(bool given) {
  if (!given) return std::nullopt;
  return "given";
}
KRENN_FUNCTION(maybe_text, "", "given"_a);

Handle empty_handle() { return {}; }
KRENN_FUNCTION(empty_handle, "");
Object empty_object() { return {}; }
KRENN_FUNCTION(empty_object, "", krenn::without_gil);
Result<Object> empty_result_object() { return Object(); }
KRENN_FUNCTION(empty_result_object, "");
std::optional<Handle> empty_in_optional() { return Handle(); }
KRENN_FUNCTION(empty_in_optional, "");

// Whether the optional parameters came engaged, on the exact path (x an int)
// and the general one.
PyObject* given_objects(std::int64_t, std::optional<Handle> h, std::optional<Object> o) {
  return Py_BuildValue("(OO)", h ? Py_True : Py_False, o ? Py_True : Py_False);
}
KRENN_FUNCTION(given_objects, "", "x"_a, "h"_a, "o"_a);

// what() is nullptr.
struct NullWhat : std::invalid_argument {
  NullWhat() : std::invalid_argument("") {}
  [[nodiscard]] const char* what() const noexcept override { return nullptr; }
};

struct Foreign {};

std::int64_t raise_cpp(std::string_view kind) {
  if (kind == "invalid_argument") throw std::invalid_argument("bad value");
  if (kind == "domain_error") throw std::domain_error("bad domain");
  if (kind == "length_error") throw std::length_error("too long");
  if (kind == "range_error") throw std::range_error("bad range");
  if (kind == "out_of_range") throw std::out_of_range("no such index");
  if (kind == "overflow_error") throw std::overflow_error("too big");
  if (kind == "runtime_error") throw std::runtime_error("gone wrong");
  if (kind == "logic_error") throw std::logic_error("wrong logic");
  if (kind == "bad_utf8") throw std::runtime_error("ab\xff");
  if (kind == "foreign") throw Foreign{};
  if (kind == "int") throw 7;
  if (kind == "null_what") throw NullWhat();
  return 0;
}
KRENN_FUNCTION(raise_cpp, "", "kind"_a);

std::atomic<bool> flag_seen{false};

// Spins until another thread sets the flag; true when it did within 10 s.
bool wait_for_flag() {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!flag_seen.exchange(false)) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}
KRENN_FUNCTION(wait_for_flag, "", krenn::without_gil);

void set_flag() { flag_seen = true; }
KRENN_FUNCTION(set_flag, "");

// The GIL count the body sees, and the object dropped without the GIL.
std::int64_t drop_without_gil(Object obj, std::int64_t add) {
  Object gone = std::move(obj);
  return gil_count() + add;
}
KRENN_FUNCTION(drop_without_gil, "", "obj"_a, krenn::without_gil, "add"_a = 0);

// Eight references given up without the GIL in one call: keeps the deferred
// queue's lock busy, for the fork test.
void drop_eight_without_gil(Object a, Object b, Object c, Object d, Object e, Object f, Object g,
                            Object h) {
  Object gone[] = {std::move(a), std::move(b), std::move(c), std::move(d),
                   std::move(e), std::move(f), std::move(g), std::move(h)};
}
KRENN_FUNCTION(drop_eight_without_gil, "", "a"_a, "b"_a, "c"_a, "d"_a, "e"_a, "f"_a, "g"_a, "h"_a,
               krenn::without_gil);

void sleep_without_gil(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}
KRENN_FUNCTION(sleep_without_gil, "", "seconds"_a, krenn::without_gil);

// Deliberately undefined (a signed overflow) after the sleep, for the test that
// the sanitizer job sees a report from a daemon thread at exit. Sanitizer
// builds only: elsewhere it returns the sum's wrapped value.
std::int64_t overflow_without_gil(double seconds, std::int64_t x) {
  sleep_without_gil(seconds);
#ifdef __SANITIZE_ADDRESS__
  volatile std::int64_t big = x;
  return big + INT64_MAX;
#else
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(x) + INT64_MAX);
#endif
}
KRENN_FUNCTION(overflow_without_gil, "", "seconds"_a, "x"_a, krenn::without_gil);

std::string throw_without_gil(std::string s) {
  if (s == "null_what") throw NullWhat();
  throw std::invalid_argument(s);
}
KRENN_FUNCTION(throw_without_gil, "", "s"_a, krenn::without_gil);

constexpr const MethodSpec* converter_functions[] = {
    &as_schar_spec,
    &as_uchar_spec,
    &as_short_spec,
    &as_ushort_spec,
    &as_int_spec,
    &as_uint_spec,
    &as_long_spec,
    &as_ulong_spec,
    &as_longlong_spec,
    &as_ulonglong_spec,
    &as_bool_spec,
    &as_double_spec,
    &as_float_spec,
    &as_str_view_spec,
    &as_string_spec,
    &as_bytes_spec,
    &as_handle_spec,
    &as_object_spec,
    &as_optional_spec,
    &defaults_spec,
    &named_default_spec,
    &nothing_spec,
    &c_text_spec,
    &not_utf8_spec,
    &checked_spec,
    &checked_void_spec,
    &maybe_text_spec,
    &raise_cpp_spec,
    &wait_for_flag_spec,
    &set_flag_spec,
    &drop_without_gil_spec,
    &throw_without_gil_spec,
    &drop_eight_without_gil_spec,
    &empty_handle_spec,
    &empty_object_spec,
    &empty_result_object_spec,
    &empty_in_optional_spec,
    &given_objects_spec,
    &sleep_without_gil_spec,
    &overflow_without_gil_spec,
};

std::span<const MethodSpec* const> converter_specs() { return converter_functions; }

}  // namespace krenn::testing
