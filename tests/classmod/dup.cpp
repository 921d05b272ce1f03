// A second binding of a C++ type that another module binds: its import fails.
#include <krenn/krenn.hpp>

#include "geo.hpp"

KRENN_CLASS(Vec2Again, geo::Vec2, "The same C++ type again.");
KRENN_MODULE(_krenn_classes_dup, "Binds geo::Vec2 a second time.", Vec2Again);
