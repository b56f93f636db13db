// duration_text.cpp: a duration option as people write it on a command line.
#include "server/cli/duration_text.h"

#include <string>

namespace latchwork::server {

std::optional<std::string> read_duration_option(const std::optional<std::string>& text,
                                                std::string_view name,
                                                std::chrono::milliseconds& into) {
    if (!text) return std::nullopt;
    Result<std::chrono::milliseconds> parsed = parse_duration(*text);
    if (!parsed) return std::string(name) + ": " + parsed.error();
    into = parsed.value();
    return std::nullopt;
}

}  // namespace latchwork::server
