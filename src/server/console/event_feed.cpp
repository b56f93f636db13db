// event_feed.cpp: follows the store's audit log and hands each new entry's event to the streams.
#include "server/console/event_feed.h"

#include "server/console/console_event.h"

#include <utility>

namespace latchwork::server {

AuditQuery entries_query(std::uint64_t after, std::uint64_t up_to, std::size_t limit) {
    AuditQuery query;
    query.after = after;
    query.before = up_to + 1;
    query.limit = limit;
    return query;
}

void EventFeed::pump() {
    // One read at a time; a pump meanwhile reads again once it ends.
    if (follower_.reading()) {
        again_ = true;
        return;
    }
    // A server tells what is committed from its start on; older entries reach a stream
    // only when it asks to resume after one of them. Until the log can be read (a
    // shared store away), the next pump tries again.
    if (!follower_.started()) {
        follower_.start([this](bool started) {
            if (started) pump();
        });
        return;
    }
    follower_.read(kPage, [this](Result<AuditFollower::Read> read) {
        const bool again = std::exchange(again_, false);
        if (!read) return;
        const auto tell = [&](const std::vector<AuditEntry>& entries, bool late) {
            for (const AuditEntry& entry : entries) {
                if (std::optional<std::string> text = console_event_of(entry)) listener_(entry.seq, *text, late);
            }
        };
        tell(read.value().late, true);
        tell(read.value().entries, false);
        if (read.value().more || again) pump();
    });
}

}  // namespace latchwork::server
