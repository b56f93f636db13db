// utf8.h: UTF-8 decoding, validation and white-space trimming of reply lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace latchwork {

// One decoded character. `length` is the number of bytes it occupies (at least 1);
// `valid` is false for a malformed sequence, which then covers exactly one byte.
struct Utf8Char {
    char32_t code;
    std::size_t length;
    bool valid;
};

// Decodes the character starting at text[pos]; pos must be below text.size().
// Strict: overlong forms, surrogates and code points above U+10FFFF are malformed.
Utf8Char decode_utf8(std::string_view text, std::size_t pos) noexcept;

bool is_valid_utf8(std::string_view text) noexcept;

// Appends the UTF-8 form of a scalar value (not a surrogate, at most U+10FFFF).
void append_utf8(std::string& out, char32_t c);

// Drops every White_Space character from both ends. Malformed bytes are not white
// space, so this is safe on any input.
std::string_view trim_white_space(std::string_view text) noexcept;

}  // namespace latchwork
