// A module that takes and returns the Vec2 that another module binds.
#include <krenn/krenn.hpp>

#include "geo.hpp"
#include "items.hpp"

using namespace krenn::literals;

namespace user {
double norm1(const geo::Vec2& v) { return std::abs(v.x) + std::abs(v.y); }
geo::Vec2 diagonal(double t) { return {t, t}; }
app::Color inverted(app::Color c) { return static_cast<app::Color>(2 - static_cast<int>(c)); }
}  // namespace user

KRENN_DEF(norm1, &user::norm1, "The 1-norm of v.", "v"_a);
KRENN_DEF(diagonal, &user::diagonal, "The vector (t, t).", "t"_a);
KRENN_DEF(inverted, &user::inverted, "Another module's enum, both ways.", "c"_a);
KRENN_MODULE(_krenn_classes_user, "Uses another module's class and enum.", norm1, diagonal,
             inverted);
