// url_text.cpp: percent-decoding of path segments and query parameters.
#include "server/console/url_text.h"

#include "wire/utf8.h"

namespace latchwork::server {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (text.size() - i < 3) return std::nullopt;
            const int high = hex_value(text[i + 1]);
            const int low = hex_value(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else if (c == '+' && plus_is_space) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    if (!is_valid_utf8(out)) return std::nullopt;
    return out;
}

std::optional<std::vector<std::pair<std::string, std::string>>> parse_query(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> pairs;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view part = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (part.empty()) continue;
        const std::size_t equals = part.find('=');
        auto name = percent_decode(part.substr(0, equals), true);
        auto value = percent_decode(
            equals == std::string_view::npos ? std::string_view() : part.substr(equals + 1), true);
        if (!name || !value) return std::nullopt;
        pairs.emplace_back(std::move(*name), std::move(*value));
    }
    return pairs;
}

}  // namespace latchwork::server
