// total and count_words of the standard-library group through the stock
// container converters, in a module of their own so that the group's module
// holds what the peers' modules hold.
#include <krenn/krenn.hpp>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

using namespace krenn::literals;

namespace bench {

double total_of_vector(const std::vector<double>& xs) {
  double sum = 0;
  for (double x : xs) sum += x;
  return sum;
}
KRENN_DEF(total_vector, total_of_vector, "The sum of xs.", "xs"_a);

std::int64_t count_words_of_map(const std::unordered_map<std::string, std::int64_t>& d) {
  std::int64_t sum = 0;
  for (const auto& [word, count] : d) sum += count;
  return sum;
}
KRENN_DEF(count_words_map, count_words_of_map, "The sum of d's counts.", "d"_a);

KRENN_MODULE(bench_krenn_stdlib_std, "total and count_words over std containers.", total_vector,
             count_words_map);

}  // namespace bench
