// scale, shout, is_even and nothing on the Krenn frame, declared as a user
// would declare them.
#include <krenn/krenn.hpp>

#include <string>
#include <string_view>

using namespace krenn::literals;

namespace bench {

double scale(double x, long long k) { return x * static_cast<double>(k); }
KRENN_FUNCTION(scale, "x times k.", "x"_a, "k"_a);

std::string shout(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}
KRENN_FUNCTION(shout, "s with its ASCII letters upper-cased.", "s"_a);

bool is_even(long long n) { return n % 2 == 0; }
KRENN_FUNCTION(is_even, "Whether n is even.", "n"_a);

void nothing() {}
KRENN_FUNCTION(nothing, "Does nothing.");

KRENN_MODULE(bench_krenn_everyday, "The everyday group on the Krenn frame.", scale, shout, is_even,
             nothing);

}  // namespace bench
