// apply(f, x) on the Krenn frame, declared as a user would declare it; inc is
// a krenn function to pass as f.
#include <krenn/krenn.hpp>

#include <cstdint>
#include <functional>

using namespace krenn::literals;

namespace bench {

std::int64_t apply(std::function<std::int64_t(std::int64_t)> f, std::int64_t x) { return f(x); }
KRENN_FUNCTION(apply, "f(x).", "f"_a, "x"_a);

std::int64_t inc(std::int64_t x) { return x + 1; }
KRENN_FUNCTION(inc, "x + 1.", "x"_a);

KRENN_MODULE(bench_krenn_callbacks, "Callbacks on the Krenn frame.", apply, inc);

}  // namespace bench
