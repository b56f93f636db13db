// pg_arrays.cpp: statement parameters that carry many values at once, as array literals.
#include "server/store/postgres/pg_arrays.h"

#include <boost/json.hpp>

namespace latchwork::server {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& text, std::string_view value) {
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        text += kHex[byte >> 4];
        text += kHex[byte & 0xf];
    }
}

}  // namespace

std::string bytea_text(std::string_view value) {
    std::string text = "\\x";
    text.reserve(2 + 2 * value.size());
    append_hex(text, value);
    return text;
}

std::string bytea_array(std::span<const std::string_view> values) {
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
        append_hex(literal, values[i]);
        literal += '"';
    }
    literal += '}';
    return literal;
}

std::string text_array(std::span<const std::string_view> values) {
    std::string literal = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) literal += ',';
        literal += '"';
        for (const char c : values[i]) {
            if (c == '"' || c == '\\') literal += '\\';
            literal += c;
        }
        literal += '"';
    }
    literal += '}';
    return literal;
}

std::string bool_array(const std::vector<bool>& values) {
    std::string literal = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) literal += ',';
        literal += values[i] ? 't' : 'f';
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

std::vector<std::string> strings_of_json_array(std::string_view json) {
    std::vector<std::string> found;
    boost::system::error_code error;
    const boost::json::value parsed = boost::json::parse(json, error);
    if (error || !parsed.is_array()) return found;
    for (const boost::json::value& item : parsed.get_array()) {
        if (item.is_string()) found.emplace_back(item.get_string());
    }
    return found;
}

}  // namespace latchwork::server
