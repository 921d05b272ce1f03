// total and count_words on the Krenn frame: a list of floats and a dict of
// str to int, through the stock container converters, as a user would
// declare them.
#include <krenn/krenn.hpp>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

using namespace krenn::literals;

namespace bench {

double total(const std::vector<double>& xs) {
  double sum = 0;
  for (double x : xs) sum += x;
  return sum;
}
KRENN_FUNCTION(total, "The sum of xs.", "xs"_a);

std::int64_t count_words(const std::unordered_map<std::string, std::int64_t>& d) {
  std::int64_t sum = 0;
  for (const auto& [word, count] : d) sum += count;
  return sum;
}
KRENN_FUNCTION(count_words, "The sum of d's counts.", "d"_a);

KRENN_MODULE(bench_krenn_containers, "The containers group on the Krenn frame.", total,
             count_words);

}  // namespace bench
