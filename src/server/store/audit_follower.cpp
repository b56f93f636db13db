// audit_follower.cpp: follows the committed audit log after a cursor, for whoever tells its entries on (the console's events, the webhooks).
#include "server/store/audit_follower.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace latchwork::server {

Result<std::uint64_t> newest_audit_seq(Store& store) {
    AuditQuery newest;
    newest.newest_first = true;
    newest.limit = 1;
    Result<std::vector<AuditEntry>> read = store.read_audit(newest);
    if (!read) return std::move(read).take_failure();
    return read.value().empty() ? std::uint64_t{0} : read.value().front().seq;
}

bool AuditFollower::start() {
    if (started_) return true;
    Result<std::uint64_t> newest = newest_audit_seq(store_);
    if (!newest) return false;
    start_at(newest.value());
    return true;
}

void AuditFollower::start_at(std::uint64_t seq) {
    started_ = true;
    cursor_ = seq;
    gap_at_ = 0;
    late_.erase(late_.upper_bound(seq), late_.end());
}

void AuditFollower::look_again(std::uint64_t seq, Clock::time_point now) {
    if (seq <= cursor_) late_.emplace(seq, now + settings_.retention);
}

Result<AuditFollower::Read> AuditFollower::read(std::size_t limit, Clock::time_point now) {
    Read out;
    if (!late_.empty()) {
        Result<std::vector<AuditEntry>> late = read_late(limit, now);
        if (!late) return std::move(late).take_failure();
        out.late = std::move(late).value();
    }
    const std::size_t room = limit - std::min(limit, out.late.size());
    if (room == 0) {
        out.more = true;
        return out;
    }
    AuditQuery query;
    query.after = cursor_;
    query.limit = room;
    Result<std::vector<AuditEntry>> page = store_.read_audit(query);
    if (!page) return std::move(page).take_failure();
    for (AuditEntry& entry : page.value()) {
        if (entry.seq != cursor_ + 1) {
            if (!gap_settled(cursor_ + 1, now)) return out;
            pass_over(cursor_ + 1, entry, now);
        }
        cursor_ = entry.seq;
        out.entries.push_back(std::move(entry));
    }
    out.more = page.value().size() == room;
    return out;
}

Result<std::vector<AuditEntry>> AuditFollower::read_late(std::size_t limit, Clock::time_point now) {
    std::erase_if(late_, [&](const auto& item) { return item.second <= now; });
    if (late_.empty()) return std::vector<AuditEntry>{};
    // One query for all of them, its bounds keeping the scan to their span.
    AuditQuery query;
    query.after = late_.begin()->first - 1;
    query.before = late_.rbegin()->first + 1;
    query.limit = limit;
    query.seqs.reserve(late_.size());
    for (const auto& item : late_) query.seqs.push_back(item.first);
    Result<std::vector<AuditEntry>> found = store_.read_audit(query);
    if (found) {
        for (const AuditEntry& entry : found.value()) late_.erase(entry.seq);
    }
    return found;
}

bool AuditFollower::gap_settled(std::uint64_t missing, Clock::time_point now) {
    if (gap_at_ != missing) {
        gap_at_ = missing;
        gap_since_ = now;
        return false;
    }
    return now - gap_since_ >= settings_.settle_gaps;
}

void AuditFollower::pass_over(std::uint64_t first, const AuditEntry& next, Clock::time_point now) {
    // A missing entry's seq was taken before `next`'s, so its time is no later than
    // about `next`'s: it is pruned by the time `next` is. A log read far behind its
    // pruning has its gap forgotten soon; one of a stalled commit is looked for long.
    const std::int64_t left_ms = next.at_ms + settings_.retention.count() - unix_time_ms();
    if (left_ms <= 0 || settings_.max_late == 0) return;
    const Clock::time_point until = now + std::chrono::milliseconds(left_ms);
    first = std::max(first, next.seq - std::min<std::uint64_t>(next.seq, settings_.max_late));
    for (std::uint64_t seq = first; seq < next.seq; ++seq) late_.emplace(seq, until);
    // The bound keeps the newest: an old gap is the likelier to be one that never comes.
    while (late_.size() > settings_.max_late) late_.erase(late_.begin());
}

}  // namespace latchwork::server
