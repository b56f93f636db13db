// log_throttle.h: at most one line per interval for an event that may come in floods.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

namespace latchwork::server {

// Whether a line for an event that a peer can repeat at will (a wrong hello) may be
// written now: at most one per interval, so that a flood of them cannot flood standard
// error, and the line that is written says how many were left out before it.
class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(Clock::duration interval) : interval_(interval) {}

    // nullopt: leave this one out. Otherwise write it; the value is how many were left
    // out since the last line written.
    std::optional<std::uint64_t> admit(Clock::time_point now) {
        if (written_ && now - last_ < interval_) {
            ++left_out_;
            return std::nullopt;
        }
        written_ = true;
        last_ = now;
        return std::exchange(left_out_, 0);
    }

private:
    Clock::duration interval_;
    Clock::time_point last_{};
    bool written_ = false;
    std::uint64_t left_out_ = 0;
};

}  // namespace latchwork::server
