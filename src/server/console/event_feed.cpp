// event_feed.cpp: follows the store's audit log and hands each new entry's event to the streams.
#include "server/console/event_feed.h"

#include "server/console/console_event.h"

namespace latchwork::server {

Result<std::vector<AuditEntry>> read_entries(Store& store, std::uint64_t after, std::uint64_t up_to,
                                             std::size_t limit) {
    AuditQuery query;
    query.after = after;
    query.before = up_to + 1;
    query.limit = limit;
    return store.read_audit(query);
}

bool EventFeed::find_start() {
    if (started_) return true;
    // A server tells what is committed from its start on; older entries reach a stream
    // only when it asks to resume after one of them.
    AuditQuery newest;
    newest.newest_first = true;
    newest.limit = 1;
    Result<std::vector<AuditEntry>> read = store_.read_audit(newest);
    if (!read) return false;  // a shared store away: the next pump tries again
    told_ = read.value().empty() ? 0 : read.value().front().seq;
    started_ = true;
    return true;
}

void EventFeed::pump() {
    if (!find_start()) return;
    for (;;) {
        AuditQuery query;
        query.after = told_;
        query.limit = kPage;
        Result<std::vector<AuditEntry>> read = store_.read_audit(query);
        if (!read || read.value().empty()) return;
        for (const AuditEntry& entry : read.value()) {
            if (entry.seq != told_ + 1 && !gap_settled(told_ + 1)) return;
            told_ = entry.seq;
            if (std::optional<std::string> text = console_event_of(entry)) listener_(entry.seq, *text);
        }
        if (read.value().size() < kPage) return;
    }
}

bool EventFeed::gap_settled(std::uint64_t missing) {
    const auto now = std::chrono::steady_clock::now();
    if (gap_at_ != missing) {
        gap_at_ = missing;
        gap_since_ = now;
        return false;
    }
    return now - gap_since_ >= kSettleGap;
}

}  // namespace latchwork::server
