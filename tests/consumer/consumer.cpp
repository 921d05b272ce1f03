#include <krenn/krenn.hpp>

#include <functional>
#include <stdexcept>

using namespace krenn::literals;

namespace consumer {

std::int64_t twice(std::int64_t n) { return 2 * n; }
KRENN_FUNCTION(twice, "Doubles n.", "n"_a);

std::int64_t half(std::int64_t n) {
  if (n % 2) throw std::invalid_argument("odd");
  return n / 2;
}
KRENN_FUNCTION(half, "Halves an even n.", "n"_a);

// -1 where f threw std::invalid_argument: only a function called as C++ does.
std::int64_t apply_or(std::function<std::int64_t(std::int64_t)> f, std::int64_t x) {
  try {
    return f(x);
  } catch (const std::invalid_argument&) {
    return -1;
  }
}
KRENN_FUNCTION(apply_or, "f(x), or -1.", "f"_a, "x"_a);

#ifdef CONSUMER_TUNED
KRENN_MODULE(tuned, "Built with NOMINSIZE, LTO and NO_STUBS.", twice, half, apply_or);
#else
KRENN_MODULE(plain, "Built with the defaults.", twice, half, apply_or);
#endif

}  // namespace consumer
