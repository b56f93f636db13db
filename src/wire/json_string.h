// json_string.h: text written as a JSON string literal, for requests and replies alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace latchwork {

// Appends `text` as a JSON string literal, quotes included: '"', '\\' and the control
// characters escaped, everything else (UTF-8 included) as it stands.
void append_json_string(std::string& out, std::string_view text);

// The exact length of what append_json_string writes for `text`, so that a text
// built of several is one allocation.
std::size_t json_string_size(std::string_view text);

}  // namespace latchwork
