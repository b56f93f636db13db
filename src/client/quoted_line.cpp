// quoted_line.cpp: the quoted, escaped form of a reply line shown in failure messages.
#include "client/quoted_line.h"

#include <cstdio>

#include "wire/unicode_tables.h"
#include "wire/utf8.h"

namespace latchwork {
namespace {

void append_hex(std::string& out, unsigned long value) {
    char digits[16];
    const int n = std::snprintf(digits, sizeof digits, "%lx", value);
    out.append(digits, static_cast<std::size_t>(n));
}

}  // namespace

std::string quoted_line(std::string_view line) {
    std::string out;
    out.reserve(line.size() + 2);
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < line.size()) {
        const Utf8Char c = decode_utf8(line, pos);
        if (!c.valid) {
            out.append("\\x");
            const auto byte = static_cast<unsigned char>(line[pos]);
            out.push_back("0123456789abcdef"[byte >> 4]);
            out.push_back("0123456789abcdef"[byte & 0xF]);
        } else if (c.code == '"' || c.code == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c.code));
        } else if (c.code == '\t') {
            out.append("\\t");
        } else if (c.code == '\r') {
            out.append("\\r");
        } else if (c.code == '\n') {
            out.append("\\n");
        } else if (c.code == 0) {
            out.append("\\0");
        } else if (needs_quoted_escape(c.code)) {
            out.append("\\u{");
            append_hex(out, c.code);
            out.push_back('}');
        } else {
            out.append(line.substr(pos, c.length));
        }
        pos += c.length;
    }
    out.push_back('"');
    return out;
}

}  // namespace latchwork
