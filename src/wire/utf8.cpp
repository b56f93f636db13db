// utf8.cpp: UTF-8 decoding, validation and white-space trimming of reply lines.
#include "wire/utf8.h"

#include "wire/unicode_tables.h"

namespace latchwork {
namespace {

constexpr Utf8Char kMalformed{0xFFFD, 1, false};

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

}  // namespace

Utf8Char decode_utf8(std::string_view text, std::size_t pos) noexcept {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t length;
    char32_t code;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return kMalformed;
    }
    if (text.size() - pos < length) {
        return kMalformed;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[pos + i]);
        if (!is_continuation(byte)) {
            return kMalformed;
        }
        code = (code << 6) | (byte & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return kMalformed;
    }
    return {code, length, true};
}

bool is_valid_utf8(std::string_view text) noexcept {
    std::size_t pos = 0;
    while (pos < text.size()) {
        // Runs of ASCII are the common case for reply lines.
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const Utf8Char c = decode_utf8(text, pos);
        if (!c.valid) {
            return false;
        }
        pos += c.length;
    }
    return true;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string_view trim_white_space(std::string_view text) noexcept {
    while (!text.empty()) {
        const Utf8Char c = decode_utf8(text, 0);
        if (!c.valid || !is_white_space(c.code)) {
            break;
        }
        text.remove_prefix(c.length);
    }
    while (!text.empty()) {
        // Step back over at most three continuation bytes to the start of the last
        // character; it only counts if it decodes to exactly the bytes stepped over.
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 &&
               is_continuation(static_cast<unsigned char>(text[start]))) {
            --start;
        }
        const Utf8Char c = decode_utf8(text, start);
        if (!c.valid || start + c.length != text.size() || !is_white_space(c.code)) {
            break;
        }
        text.remove_suffix(c.length);
    }
    return text;
}

}  // namespace latchwork
