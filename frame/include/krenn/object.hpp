// Python objects in C++ types: krenn::Handle borrows (defined with the pool),
// krenn::Object owns one reference. Object is the frame's Owned under the name
// a body uses: move-only, released once.
#pragma once

#include "krenn/pool.hpp"

namespace krenn {

using Object = Owned;

}  // namespace krenn
