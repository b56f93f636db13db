// pg_arrays.cpp: statement parameters that carry many values at once, as array literals.
#include "server/postgres/pg_arrays.h"

namespace latchwork::server::postgres {

std::string bytea_array(std::span<const std::string_view> values) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t size = 2;
    for (std::string_view value : values) size += 2 * value.size() + 6;
    std::string literal;
    literal.reserve(size);
    literal += '{';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) literal += ',';
        // Inside a quoted element a backslash escapes the next character, so "\\x"
        // reaches bytea's input as \x, the start of its hex form.
        literal += "\"\\\\x";
        for (const char c : values[i]) {
            const auto byte = static_cast<unsigned char>(c);
            literal += kHex[byte >> 4];
            literal += kHex[byte & 0xf];
        }
        literal += '"';
    }
    literal += '}';
    return literal;
}

std::string integer_array(std::span<const std::int64_t> values) {
    std::string literal = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) literal += ',';
        literal += std::to_string(values[i]);
    }
    literal += '}';
    return literal;
}

}  // namespace latchwork::server::postgres
