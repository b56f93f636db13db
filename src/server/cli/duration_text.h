// duration_text.h: a duration as people write it on a command line ("900ms", "30s", "15m", "2h").
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "support/result.h"

namespace latchwork::server {

// A whole number followed by one unit, ms, s, m or h, with nothing around it; at
// least one millisecond and at most about ten years. Anything else fails with a
// message saying what is accepted.
Result<std::chrono::milliseconds> parse_duration(std::string_view text);

// An option's duration, when it was given: read into `into`, or the message naming
// the option ("--NAME: ..."); nothing when it was not given.
std::optional<std::string> read_duration_option(const std::optional<std::string>& text,
                                                std::string_view name,
                                                std::chrono::milliseconds& into);

}  // namespace latchwork::server
