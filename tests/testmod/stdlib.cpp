// Declared functions over the standard library's containers and values.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "krenn/function.hpp"
#include "krenn/views.hpp"
#include "testmod.hpp"

namespace krenn::testing {

// A type whose converter keeps per-call storage (here the str, held until
// its text is copied out), and that has no default value.
struct Label {
  explicit Label(std::string_view text_) : text(text_) {}
  std::string text;
};

}  // namespace krenn::testing

template <>
struct krenn::Converter<krenn::testing::Label> {
  static constexpr std::string_view python_name = "str";
  using Holder = Owned;
  [[nodiscard]] static bool exact(PyObject* obj, Owned& held) noexcept {
    if (!PyUnicode_CheckExact(obj)) return false;
    held = Owned::borrow(obj);
    return true;
  }
  [[nodiscard]] static Result<void> convert(PyObject* obj, std::string_view name, Owned& held) {
    if (!PyUnicode_Check(obj)) return failure(detail::wrong_type(obj, name, "Label"));
    held = Owned::borrow(obj);
    return {};
  }
  [[nodiscard]] static testing::Label get(Owned& held) {
    return testing::Label(PyUnicode_AsUTF8(held.get()));
  }
  [[nodiscard]] static Result<PyObject*> to_python(const testing::Label& label) {
    return detail::str_from_utf8(label.text);
  }
};

namespace krenn::testing {

template <typename T>
T same_value(T value) {
  return value;
}

#define KRENN_TEST_ROUND_TRIP(name, ...)          \
  constexpr auto name = &same_value<__VA_ARGS__>; \
  KRENN_FUNCTION(name, "", "x"_a)

KRENN_TEST_ROUND_TRIP(as_vector, std::vector<std::int64_t>);
KRENN_TEST_ROUND_TRIP(as_vector_bool, std::vector<bool>);
KRENN_TEST_ROUND_TRIP(as_nested, std::vector<std::vector<int>>);
KRENN_TEST_ROUND_TRIP(as_array, std::array<int, 3>);
KRENN_TEST_ROUND_TRIP(as_list, std::list<std::string>);
KRENN_TEST_ROUND_TRIP(as_deque, std::deque<double>);
KRENN_TEST_ROUND_TRIP(as_map, std::map<std::string, std::vector<double>>);
KRENN_TEST_ROUND_TRIP(as_umap, std::unordered_map<std::int64_t, std::string>);
KRENN_TEST_ROUND_TRIP(as_set, std::set<std::int64_t>);
KRENN_TEST_ROUND_TRIP(as_uset, std::unordered_set<std::string>);
KRENN_TEST_ROUND_TRIP(as_pair, std::pair<std::int64_t, std::string>);
KRENN_TEST_ROUND_TRIP(as_tuple, std::tuple<int, double, std::string>);
using Variant = std::variant<std::monostate, std::int64_t, double, std::string, std::vector<int>>;
KRENN_TEST_ROUND_TRIP(as_variant, Variant);
KRENN_TEST_ROUND_TRIP(as_labels, std::vector<Label>);
KRENN_TEST_ROUND_TRIP(as_path, std::filesystem::path);
KRENN_TEST_ROUND_TRIP(as_seconds, std::chrono::duration<double>);
KRENN_TEST_ROUND_TRIP(as_ns, std::chrono::nanoseconds);
KRENN_TEST_ROUND_TRIP(as_minutes, std::chrono::minutes);

double total(const std::vector<double>& xs) {
  double sum = 0;
  for (double x : xs) sum += x;
  return sum;
}
KRENN_FUNCTION(total, "The sum of xs.", "xs"_a);

// Views: the elements as the body reads them, in order.
std::vector<std::int64_t> view_ints(const Sequence<std::int64_t>& xs) {
  std::vector<std::int64_t> out;
  for (std::int64_t x : xs) out.push_back(x);
  return out;
}
KRENN_FUNCTION(view_ints, "", "x"_a);

std::vector<std::int64_t> view_indexed(const Sequence<std::int64_t>& xs, std::int64_t extra) {
  std::vector<std::int64_t> out;
  for (std::size_t i = 0; i < xs.size() + static_cast<std::size_t>(extra); ++i)
    out.push_back(xs[i]);
  return out;
}
KRENN_FUNCTION(view_indexed, "", "x"_a, "extra"_a = 0);

std::vector<std::string> view_strs(Sequence<std::string_view> xs) {
  std::vector<std::string> out;
  for (std::string_view x : xs) out.emplace_back(x);
  return out;
}
KRENN_FUNCTION(view_strs, "", "x"_a);

double view_total(std::optional<Sequence<double>> xs) {
  double sum = 0;
  if (xs)
    for (double x : *xs) sum += x;
  return sum;
}
KRENN_FUNCTION(view_total, "", "x"_a);

std::vector<std::pair<std::string, std::int64_t>> view_items(
    Mapping<std::string_view, std::int64_t> d) {
  std::vector<std::pair<std::string, std::int64_t>> out;
  for (auto [key, value] : d) out.emplace_back(key, value);
  return out;
}
KRENN_FUNCTION(view_items, "", "x"_a);

std::vector<std::pair<std::int64_t, std::string>> view_umap(
    const Mapping<std::int64_t, std::string>& d) {
  std::vector<std::pair<std::int64_t, std::string>> out;
  for (const auto& [key, value] : d) out.emplace_back(key, value);
  return out;
}
KRENN_FUNCTION(view_umap, "", "x"_a);

// The body catches an element's error: its text, and how many came before.
std::pair<std::int64_t, std::string> view_caught(Sequence<std::int64_t> xs) {
  std::int64_t read = 0;
  try {
    for ([[maybe_unused]] std::int64_t x : xs) ++read;
  } catch (const python_error& e) {
    return {read, e.what()};
  }
  return {read, ""};
}
KRENN_FUNCTION(view_caught, "", "x"_a);

// clang-format off
#define KRENN_TEST_SPECS(X)                                                  \
  X(as_vector) X(as_vector_bool) X(as_nested) X(as_array) X(as_list)         \
  X(as_deque) X(as_map) X(as_umap) X(as_set) X(as_uset) X(as_pair)           \
  X(as_tuple) X(as_variant) X(as_path) X(as_seconds) X(as_ns) X(as_minutes)  \
  X(as_labels) X(total) X(view_ints) X(view_indexed) X(view_strs)       \
  X(view_total) X(view_items) X(view_umap) X(view_caught)
// clang-format on

#define KRENN_TEST_SPEC(name) &name##_spec,
constexpr const MethodSpec* stdlib_functions[] = {KRENN_TEST_SPECS(KRENN_TEST_SPEC)};

// The stub records, which the test module's build takes out of the module.
#define KRENN_TEST_RECORD(name) \
  std::string_view(name##_function::stub_record.data(), name##_function::stub_record.size() - 1),
constexpr std::string_view stdlib_records[] = {KRENN_TEST_SPECS(KRENN_TEST_RECORD)};

Result<PyObject*> stub_records(PyObject*) {
  PyObject* list = PyList_New(0);
  if (!list) return fetched();
  for (std::string_view record : stdlib_records) {
    PyObject* text =
        PyUnicode_FromStringAndSize(record.data(), static_cast<Py_ssize_t>(record.size()));
    if (!text || PyList_Append(list, text) != 0) {
      Py_XDECREF(text);
      Py_DECREF(list);
      return fetched();
    }
    Py_DECREF(text);
  }
  return list;
}

std::span<const MethodSpec* const> stdlib_specs() { return stdlib_functions; }

void add_stdlib_methods(Methods& out) { out.push_back(def<stub_records>("stdlib_stub_records")); }

}  // namespace krenn::testing
