#include <krenn/krenn.hpp>

using namespace krenn::literals;

namespace consumer {

std::int64_t twice(std::int64_t n) { return 2 * n; }
KRENN_FUNCTION(twice, "Doubles n.", "n"_a);

#ifdef CONSUMER_TUNED
KRENN_MODULE(tuned, "Built with NOMINSIZE, LTO and NO_STUBS.", twice);
#else
KRENN_MODULE(plain, "Built with the defaults.", twice);
#endif

}  // namespace consumer
