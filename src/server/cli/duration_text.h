// duration_text.h: a duration option as people write it on a command line ("900ms", "30s", "15m", "2h").
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/duration_text.h"

namespace latchwork::server {

// An option's duration, when it was given: read into `into`, or the message naming
// the option ("--NAME: ..."); nothing when it was not given.
std::optional<std::string> read_duration_option(const std::optional<std::string>& text,
                                                std::string_view name,
                                                std::chrono::milliseconds& into);

}  // namespace latchwork::server
