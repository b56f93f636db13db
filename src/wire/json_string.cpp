// json_string.cpp: text written as a JSON string literal.
#include "wire/json_string.h"

namespace latchwork {
namespace {

// Short escapes; 'u' marks the \u00xx form and 0 means "written as it is".
constexpr char escape_letter(unsigned char c) {
    switch (c) {
        case '"': return '"';
        case '\\': return '\\';
        case '\b': return 'b';
        case '\t': return 't';
        case '\n': return 'n';
        case '\f': return 'f';
        case '\r': return 'r';
        default: return c < 0x20 ? 'u' : 0;
    }
}

}  // namespace

std::size_t json_string_size(std::string_view text) {
    std::size_t size = text.size() + 2;
    for (const char c : text) {
        const char letter = escape_letter(static_cast<unsigned char>(c));
        size += letter == 0 ? 0 : letter == 'u' ? 5 : 1;
    }
    return size;
}

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const char letter = escape_letter(c);
        if (letter == 0) {
            continue;
        }
        out.append(text.substr(run, i - run));
        out.push_back('\\');
        out.push_back(letter);
        if (letter == 'u') {
            out += "00";
            out.push_back("0123456789abcdef"[c >> 4]);
            out.push_back("0123456789abcdef"[c & 0xF]);
        }
        run = i + 1;
    }
    out.append(text.substr(run));
    out.push_back('"');
}

}  // namespace latchwork
