// Everything a module built on the frame needs: declaring functions
// (KRENN_FUNCTION) and the module (KRENN_MODULE).
#pragma once

#include "krenn/arguments.hpp"
#include "krenn/boundary.hpp"
#include "krenn/decimal.hpp"
#include "krenn/error.hpp"
#include "krenn/function.hpp"
#include "krenn/module.hpp"
#include "krenn/pool.hpp"
#include "krenn/runtime.hpp"
