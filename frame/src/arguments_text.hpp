// Pieces of the binding errors' texts.
#pragma once

#include <span>
#include <string_view>

#include "krenn/arguments.hpp"
#include "text.hpp"

namespace krenn {

// "name()", or "Class.name()" for a method.
void append_display_name(TextBuffer& text, const ParamSpec& spec);
// 'a', 'a' and 'b', 'a', 'b' and 'c': as the interpreter lists names.
void append_name_list(TextBuffer& text, std::span<const std::string_view> names);

}  // namespace krenn
