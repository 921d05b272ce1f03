// The module attributes' names, made and interned once per process.
#pragma once

#include "once.hpp"

namespace krenn {

extern InternedName name_name;
extern InternedName all_name;

}  // namespace krenn
