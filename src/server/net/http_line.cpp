// http_line.cpp: telling an HTTP message's first line from a request line.
//
// A web page can make a browser send a POST with a text/plain body to any port; its
// body lines would read as requests. So a connection that opens like HTTP is closed
// before anything in it is executed.
#include "server/net/http_line.h"

namespace latchwork::server {
namespace {

// RFC 9110 tchar: the characters of a method token.
bool is_token_char(unsigned char c) noexcept {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
        case '-': case '.': case '^': case '_': case '`': case '|': case '~':
            return true;
        default:
            return false;
    }
}

bool is_version(std::string_view text) noexcept {
    constexpr std::string_view kVersion = "HTTP/1.";
    return text.size() == kVersion.size() + 1 && text.starts_with(kVersion) && text.back() >= '0' &&
           text.back() <= '9';
}

}  // namespace

bool looks_like_http(std::string_view line) noexcept {
    if (line.ends_with('\r')) line.remove_suffix(1);
    constexpr std::size_t kVersionSize = 8;  // "HTTP/1.1"
    if (line.size() >= kVersionSize &&
        (is_version(line.substr(0, kVersionSize)) ||
         is_version(line.substr(line.size() - kVersionSize)))) {
        return true;
    }
    std::size_t at = 0;
    while (at < line.size() && is_token_char(static_cast<unsigned char>(line[at]))) ++at;
    // The target: at least one character that is neither a space nor a control.
    return at > 0 && at + 1 < line.size() && line[at] == ' ' &&
           static_cast<unsigned char>(line[at + 1]) > ' ' && line[at + 1] != '\x7f';
}

}  // namespace latchwork::server
