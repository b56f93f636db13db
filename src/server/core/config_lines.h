// config_lines.h: the lines of a small configuration file (approvers, clients), numbered, without blanks and comments.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace latchwork::server {

struct ConfigLine {
    std::size_t number = 0;  // 1-based, as an editor shows it
    std::string_view text;   // without its line feed and a carriage return before it
};

// The lines of `text` that are neither empty nor a comment ('#' first), in order; the
// views point into `text`.
inline std::vector<ConfigLine> config_lines(std::string_view text) {
    std::vector<ConfigLine> lines;
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (!line.empty() && line.front() != '#') lines.push_back({number, line});
    }
    return lines;
}

// A space or control character where a token is read: most often a stray one that
// nobody will type or send.
inline bool is_white_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace latchwork::server
