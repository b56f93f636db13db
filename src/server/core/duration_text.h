// duration_text.h: a duration as people write it ("900ms", "30s", "15m", "2h", and in rules files "1d").
#pragma once

#include <chrono>
#include <string_view>

#include "support/result.h"

namespace latchwork::server {

enum class DurationUnits : unsigned char {
    up_to_hours,  // ms, s, m, h: the command line's
    with_days,    // and d: the rules file's
};

// A whole number followed by one unit, with nothing around it; at least one
// millisecond and at most about ten years. Anything else fails with a message saying
// what is accepted.
Result<std::chrono::milliseconds> parse_duration(std::string_view text,
                                                 DurationUnits units = DurationUnits::up_to_hours);

}  // namespace latchwork::server
