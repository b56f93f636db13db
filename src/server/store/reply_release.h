// reply_release.h: when a reply may leave: once the store batch it waits for is durable, or as the store's failure.
//
// The one rule both doors keep, the line port's connections and the console's
// sessions: each holds a reply until this says it may go, and asks again whenever
// durable() has advanced (the store's durable listener).
#pragma once

#include <cstdint>
#include <string_view>

#include "server/store/store.h"

namespace latchwork::server {

struct ReplyRelease {
    enum class State : std::uint8_t {
        wait,    // its batch is not durable yet
        ready,   // its batch is durable: it leaves as decided (Answer::reply may be read)
        failed,  // the store failed before its batch was durable: it leaves as `failure`
    };
    State state = State::wait;
    std::string_view failure;  // failed: the store's failure message, valid while the store lives
};

// For a reply that waits for batch `wait_for` (0: for none). Once a commit has failed,
// nothing beyond durable() is known to have reached the disk, so a reply that waits
// for more must not carry its verdict.
ReplyRelease reply_release(const Store& store, std::uint64_t wait_for) noexcept;

}  // namespace latchwork::server
