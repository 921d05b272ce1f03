// The enum that _krenn_items binds and _krenn_classes_user takes.
#pragma once

namespace app {
enum class Color { red, green, blue };
}  // namespace app
