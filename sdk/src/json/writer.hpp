// Compact JSON output: the result objects handed back to callers are flat
// objects of string members.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace quillet::sdk::json {

// Appends `text` as a JSON string literal: quotes, backslash escapes for '"'
// and '\\', short escapes for \b \f \n \r \t, \u00XX for other control bytes.
// Other bytes are copied unchanged.
void append_string(std::string& out, std::string_view text);

// {"k1":"v1","k2":"v2",...} with the members in the order given, no spaces.
std::string string_object(std::initializer_list<std::pair<std::string_view, std::string_view>> members);

}  // namespace quillet::sdk::json
