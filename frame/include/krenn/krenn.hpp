// Everything a module built on the frame needs: declaring functions
// (KRENN_FUNCTION) with the converted types, and the module (KRENN_MODULE).
#pragma once

#include "krenn/arguments.hpp"
#include "krenn/boolean.hpp"
#include "krenn/boundary.hpp"
#include "krenn/bytes.hpp"
#include "krenn/callback.hpp"
#include "krenn/converter.hpp"
#include "krenn/decimal.hpp"
#include "krenn/error.hpp"
#include "krenn/floats.hpp"
#include "krenn/function.hpp"
#include "krenn/integers.hpp"
#include "krenn/module.hpp"
#include "krenn/object.hpp"
#include "krenn/objects.hpp"
#include "krenn/optional.hpp"
#include "krenn/pool.hpp"
#include "krenn/python_error.hpp"
#include "krenn/runtime.hpp"
#include "krenn/str.hpp"
#include "krenn/without_gil.hpp"
