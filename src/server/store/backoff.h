// backoff.h: the growing pause between attempts to reach a database that is away.
#pragma once

#include <algorithm>
#include <chrono>

namespace latchwork::server {

// Every connection of the shared store that reconnects by itself (the batch loop's, the
// change listener's) paces its attempts so: the first comes at once, each failure
// doubles the pause from kFirst up to one attempt every kLongest. A database that is
// back is found soon; one that stays away costs an attempt every two seconds.
class Backoff {
public:
    static constexpr std::chrono::milliseconds kFirst{50};
    static constexpr std::chrono::milliseconds kLongest{2000};

    // Before the next attempt.
    std::chrono::milliseconds pause() const noexcept { return pause_; }
    // An attempt failed: the pause before the next, now longer.
    std::chrono::milliseconds failed() noexcept {
        pause_ = std::clamp(pause_ * 2, kFirst, kLongest);
        return pause_;
    }
    // Connected: the next loss is tried again at once.
    void reset() noexcept { pause_ = std::chrono::milliseconds(0); }

private:
    std::chrono::milliseconds pause_{0};
};

}  // namespace latchwork::server
