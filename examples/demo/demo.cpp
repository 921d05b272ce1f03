// A module built on the Krenn frame: plain C++ functions, an enum, an
// exception type and a constant, each bound in one declaration.
#include <krenn/krenn.hpp>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace krenn::literals;

std::uint64_t add(std::uint64_t a, std::uint64_t b) { return a + b; }
KRENN_FUNCTION(add, "Adds, modulo 2**64.", "a"_a, "b"_a);

std::string greet(std::string_view name, int times, bool shout) {
  std::string out;
  for (int i = 0; i < times; ++i) out += (shout ? "HELLO, " : "Hello, ") + std::string(name) + "! ";
  if (!out.empty()) out.pop_back();
  return out;
}
KRENN_FUNCTION(greet, "Greets name, times over.", "name"_a, "times"_a = 1,
               "shout"_a.keyword_only() = false);

double divide(double a, double b) {
  if (b == 0) throw std::domain_error("division by zero");  // ValueError
  return a / b;
}
KRENN_FUNCTION(divide, "Divides a by b.", "a"_a, "b"_a);

std::optional<std::size_t> find(std::string_view text, std::string_view part) {
  std::size_t at = text.find(part);
  if (at == std::string_view::npos) return std::nullopt;
  return at;
}
KRENN_FUNCTION(find, "Where part is in text (in UTF-8 bytes), or None.", "text"_a, "part"_a);

// Other Python threads run meanwhile.
void nap(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }
KRENN_FUNCTION(nap, "Sleeps without the GIL.", "seconds"_a, krenn::without_gil);

// Containers cross by themselves: any sequence of str in, a dict out.
std::map<std::string, int> word_counts(const std::vector<std::string_view>& words) {
  std::map<std::string, int> counts;
  for (std::string_view word : words) ++counts[std::string(word)];
  return counts;
}
KRENN_FUNCTION(word_counts, "How often each word occurs.", "words"_a);

// A view reads each element where it lies: nothing is copied first.
double mean(krenn::Sequence<double> xs) {
  if (xs.empty()) throw std::domain_error("mean of nothing");
  double sum = 0;
  for (double x : xs) sum += x;
  return sum / static_cast<double>(xs.size());
}
KRENN_FUNCTION(mean, "The mean of xs.", "xs"_a);

// Any callable, Python's or this module's own.
std::int64_t apply_n(std::function<std::int64_t(std::int64_t)> f, std::int64_t x, int n) {
  for (int i = 0; i < n; ++i) x = f(x);
  return x;
}
KRENN_FUNCTION(apply_n, "f applied n times to x.", "f"_a, "x"_a, "n"_a = 1);

std::int64_t twice(std::int64_t x) { return 2 * x; }
KRENN_FUNCTION(twice, "2 * x.", "x"_a);

// An enum, an exception type and a constant are module items too.
enum class Color { red, green, blue };
KRENN_ENUM(Color, Color, "A color.", krenn::value(Color::red, "RED"),
           krenn::value(Color::green, "GREEN"), krenn::value(Color::blue, "BLUE"));

struct ParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
KRENN_EXCEPTION(ParseError, ParseError, PyExc_ValueError, "Text that names no color.");

Color parse_color(std::string_view text) {
  if (text == "red") return Color::red;
  if (text == "green") return Color::green;
  if (text == "blue") return Color::blue;
  throw ParseError("no color: " + std::string(text));
}
KRENN_FUNCTION(parse_color, "The color text names.", "text"_a);

KRENN_CONSTANT(VERSION, "1.0");

KRENN_MODULE(demo, "A demo module.", add, greet, divide, find, nap, word_counts, mean, apply_n,
             twice, Color, ParseError, parse_color, VERSION);
