// event_feed.h: follows the store's audit log and hands each new entry's event to the streams.
//
// Events are read from the log only once committed, so an approver is never told of a
// change that might still be lost, and every server sharing a store tells the same
// events under the same ids (the entries' seq). An entry that committed after later
// ones were told (audit_follower.h) is told late, under its own id.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/store/audit_follower.h"
#include "server/store/store.h"

namespace latchwork::server {

class EventFeed {
public:
    // (seq, wire text, late) of each event, in seq order but for the late ones, which
    // come before the rest of their read.
    using Listener = std::function<void(std::uint64_t, const std::string&, bool)>;
    // At most this many entries are read at once; a longer backlog takes several reads.
    static constexpr std::size_t kPage = 256;

    EventFeed(Store& store, FollowSettings follow, Listener listener)
        : follower_(store, follow), listener_(std::move(listener)) {}

    // Before serving: the log's newest seq, so that what commits from then on is told.
    void start() {
        follower_.start_now();
        pump();
    }
    // Reads what was committed after the last entry told, through the store's
    // asynchronous reads: told once read (at once, for a store that reads what it
    // holds). Safe to call often.
    void pump();
    // Every entry up to this seq has been told (or was found to report nothing), but
    // for those it awaits.
    std::uint64_t told() const noexcept { return follower_.cursor(); }
    bool started() const noexcept { return follower_.started(); }
    // Passed over while missing: told late, when it commits.
    bool awaits(std::uint64_t seq) const { return follower_.awaits(seq); }

private:
    AuditFollower follower_;
    Listener listener_;
    bool again_ = false;  // pumped while reading: read again after
};

// The query for one page of committed entries after `after`, up to and including `up_to`.
AuditQuery entries_query(std::uint64_t after, std::uint64_t up_to, std::size_t limit);

}  // namespace latchwork::server
