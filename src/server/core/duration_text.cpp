// duration_text.cpp: a duration as people write it.
#include "server/core/duration_text.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <utility>

namespace latchwork::server {
namespace {

// Far beyond any sensible hold, and far from overflowing a millisecond count added to
// a Unix time.
constexpr std::int64_t kLongestMs = 10LL * 366 * 24 * 3600 * 1000;

// "TEXT" and what is wrong with it. (Appended piece by piece: GCC 12 takes the chain
// of operator+ for an overlapping copy and warns.)
Failure refusal(std::string_view text, std::string_view why) {
    std::string message = "\"";
    message.append(text);
    message += "\" ";
    message.append(why);
    return Failure{std::move(message)};
}

}  // namespace

Result<std::chrono::milliseconds> parse_duration(std::string_view text, DurationUnits units) {
    const bool days = units == DurationUnits::with_days;
    const Failure refused =
        refusal(text, days ? "is not a duration: write a whole number and a unit, "
                             "ms, s, m, h or d (for example 90s, 30m, 4h, 1d)"
                           : "is not a duration: write a whole number and a unit, "
                             "ms, s, m or h (for example 900ms, 30s, 15m, 2h)");
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 15) return refused;
    std::int64_t number = 0;
    std::from_chars(text.data(), text.data() + digits, number);
    const std::string_view unit = text.substr(digits);
    std::int64_t scale = 0;
    if (unit == "ms") scale = 1;
    else if (unit == "s") scale = 1000;
    else if (unit == "m") scale = 60'000;
    else if (unit == "h") scale = 3'600'000;
    else if (unit == "d" && days) scale = 86'400'000;
    else return refused;
    if (number == 0) return Failure{"a duration must be longer than zero"};
    if (number > kLongestMs / scale) return refusal(text, "is too long a duration");
    return std::chrono::milliseconds(number * scale);
}

}  // namespace latchwork::server
