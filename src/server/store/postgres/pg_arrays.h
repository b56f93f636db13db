// pg_arrays.h: statement parameters that carry many values at once, as array literals.
//
// One statement with an array parameter does for a whole batch what one statement per
// row would do in as many round trips. Ids are arbitrary byte strings (a JSON string
// may hold U+0000, which a text column cannot), so they travel and are stored as
// bytea, written here in hex form.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace latchwork::server {

// \x6869: one bytea parameter in hex form.
std::string bytea_text(std::string_view value);
// {"\\x6869",...}: a bytea[] literal holding exactly these bytes.
std::string bytea_array(std::span<const std::string_view> values);
// {"a","b\"c",...}: a text[] literal holding exactly these strings (valid UTF-8, no
// U+0000: for fixed words and names, never for ids).
std::string text_array(std::span<const std::string_view> values);
// The strings of a JSON array of strings, as array_to_json() gives a text[] column;
// none for anything else.
std::vector<std::string> strings_of_json_array(std::string_view json);
// {t,f,...}: a bool[] literal.
std::string bool_array(const std::vector<bool>& values);
// {1,-2,...}: an integer array literal (int2[], int4[] or int8[]).
std::string integer_array(std::span<const std::int64_t> values);

}  // namespace latchwork::server
