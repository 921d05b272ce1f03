// The standard-library group on the Krenn frame, declared as a user would:
// total and count_words over views that convert each element as the sum
// reads it, apply(f, x) through std::function, and inc, a krenn function to
// pass as f. stdlib_std.cpp has total and count_words over std containers.
#include <krenn/krenn.hpp>

#include <cstdint>
#include <functional>
#include <string_view>

using namespace krenn::literals;

namespace bench {

double total(const krenn::Sequence<double>& xs) {
  double sum = 0;
  for (double x : xs) sum += x;
  return sum;
}
KRENN_FUNCTION(total, "The sum of xs.", "xs"_a);

std::int64_t count_words(const krenn::Mapping<std::string_view, std::int64_t>& d) {
  std::int64_t sum = 0;
  for (const auto& [word, count] : d) sum += count;
  return sum;
}
KRENN_FUNCTION(count_words, "The sum of d's counts.", "d"_a);

std::int64_t apply(std::function<std::int64_t(std::int64_t)> f, std::int64_t x) { return f(x); }
KRENN_FUNCTION(apply, "f(x).", "f"_a, "x"_a);

std::int64_t inc(std::int64_t x) { return x + 1; }
KRENN_FUNCTION(inc, "x + 1.", "x"_a);

KRENN_MODULE(bench_krenn_stdlib, "The standard-library group on the Krenn frame.", total,
             count_words, apply, inc);

}  // namespace bench
