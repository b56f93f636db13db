// event_feed.h: follows the store's audit log and hands each new entry's event to the streams.
//
// Events are read from the log only once committed, so an approver is never told of a
// change that might still be lost, and every server sharing a store tells the same
// events under the same ids (the entries' seq).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/store/store.h"

namespace latchwork::server {

class EventFeed {
public:
    // (seq, wire text) of each event, in seq order.
    using Listener = std::function<void(std::uint64_t, const std::string&)>;
    // At most this many entries are read at once; a longer backlog takes several reads.
    static constexpr std::size_t kPage = 256;
    // A seq missing below newer committed ones (a shared store's transaction still
    // open, or rolled back) holds the feed back this long at most.
    static constexpr auto kSettleGap = std::chrono::seconds(3);

    EventFeed(Store& store, Listener listener) : store_(store), listener_(std::move(listener)) {}

    // Reads what was committed after the last entry told. Safe to call often.
    void pump();
    // Every entry up to this seq has been told (or was found to report nothing).
    std::uint64_t told() const noexcept { return told_; }
    bool started() const noexcept { return started_; }

private:
    bool find_start();
    bool gap_settled(std::uint64_t missing);

    Store& store_;
    Listener listener_;
    bool started_ = false;
    std::uint64_t told_ = 0;
    std::uint64_t gap_at_ = 0;
    std::chrono::steady_clock::time_point gap_since_;
};

// Reads one page of committed entries after `after`, up to and including `up_to`.
Result<std::vector<AuditEntry>> read_entries(Store& store, std::uint64_t after, std::uint64_t up_to,
                                             std::size_t limit);

}  // namespace latchwork::server
