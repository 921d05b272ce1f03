// Module items beside functions: enums, exception types, constants and
// submodules, one module binding each kind.
#include <krenn/krenn.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using namespace krenn::literals;

#include "items.hpp"

namespace app {

// Sparse, negative and not int-sized: looked up by scanning.
enum class Level : std::int8_t { low = -5, mid = 0, high = 100 };
enum Plain : unsigned { first = 1, second = 2, also_first = 1 };

struct ParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct SyntaxProblem : ParseError {
  using ParseError::ParseError;
};
// Caught by ParseError's handler; bound nowhere itself.
struct DeepProblem : SyntaxProblem {
  using SyntaxProblem::SyntaxProblem;
};

Color next_color(Color c) { return static_cast<Color>((static_cast<int>(c) + 1) % 3); }
std::vector<Color> all_next(const std::vector<Color>& cs, std::optional<Color> skip) {
  std::vector<Color> out;
  for (Color c : cs)
    if (c != skip) out.push_back(next_color(c));
  return out;
}
Color color_of(int i) { return static_cast<Color>(i); }
Level level_of(int i) { return static_cast<Level>(i); }
int level_value(Level l) { return static_cast<int>(l); }
Plain plain_of(int i) { return static_cast<Plain>(i); }
unsigned plain_value(Plain p) { return p; }

void fail(int kind) {
  switch (kind) {
    case 0: throw ParseError("bad token");
    case 1: throw SyntaxProblem("unclosed bracket");
    case 2: throw DeepProblem("too deep");
    case 3: throw std::out_of_range("out of range");
    default: throw std::runtime_error("plain");
  }
}

Color parse_color(std::string_view text) {
  if (text == "red") return Color::red;
  if (text == "green") return Color::green;
  if (text == "blue") return Color::blue;
  throw ParseError("no color '" + std::string(text) + "'");
}

struct Counter {
  std::int64_t count = 0;
  std::int64_t add(std::int64_t k) { return count += k; }
};

std::int64_t answer() { return 42; }

}  // namespace app

KRENN_ENUM(Color, app::Color, "A color.", krenn::value(app::Color::red, "RED"),
           krenn::value(app::Color::green, "GREEN"), krenn::value(app::Color::blue, "BLUE"));
KRENN_ENUM(Level, app::Level, "A level, an int too.", krenn::int_enum,
           krenn::value(app::Level::low, "LOW"), krenn::value(app::Level::mid, "MID"),
           krenn::value(app::Level::high, "HIGH"));
KRENN_ENUM(Plain, app::Plain, "", krenn::value(app::first, "FIRST"),
           krenn::value(app::second, "SECOND"), krenn::value(app::also_first, "ALSO_FIRST"));
KRENN_EXCEPTION(ParseError, app::ParseError, PyExc_ValueError, "Input that does not parse.");
KRENN_EXCEPTION(SyntaxProblem, app::SyntaxProblem, krenn::base<app::ParseError>, "");
KRENN_CONSTANT(VERSION, "1.0");
KRENN_CONSTANT(LIMITS, std::vector<std::int64_t>{1, 2, 3});
KRENN_CONSTANT(DEFAULT_COLOR, app::Color::green);
KRENN_DEF(next_color, &app::next_color, "The next color.", "c"_a);
KRENN_DEF(all_next, &app::all_next, "", "cs"_a, "skip"_a);
KRENN_DEF(color_of, &app::color_of, "The color of a number.", "i"_a);
KRENN_DEF(level_of, &app::level_of, "", "i"_a);
KRENN_DEF(level_value, &app::level_value, "", "level"_a);
KRENN_DEF(plain_of, &app::plain_of, "", "i"_a);
KRENN_DEF(plain_value, &app::plain_value, "", "p"_a);
KRENN_DEF(fail, &app::fail, "Throws one of the exceptions.", "kind"_a);

KRENN_DEF(parse_color, &app::parse_color, "The color of its name.", "text"_a);
KRENN_CLASS(Counter, app::Counter, "Counts.", krenn::init<>(),
            krenn::method<&app::Counter::add>("add", "", "k"_a));
KRENN_CONSTANT(SEPARATOR, ",");
KRENN_DEF(answer, &app::answer, "");
KRENN_SUBMODULE(deep, "Nested twice.", answer);
KRENN_SUBMODULE(io, "Reading colors.", parse_color, Counter, SEPARATOR, deep);
KRENN_SUBMODULE(empty, "");

KRENN_MODULE(_krenn_items, "Enums, exceptions, constants and submodules.", Color, Level, Plain,
             ParseError, SyntaxProblem, VERSION, LIMITS, DEFAULT_COLOR, next_color, all_next, color_of,
             level_of, level_value, plain_of, plain_value, fail, io, empty);
