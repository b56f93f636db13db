// audit_follower.cpp: follows the committed audit log after a cursor, for whoever tells its entries on (the console's events, the webhooks).
#include "server/store/audit_follower.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace latchwork::server {

void AuditFollower::start_at(std::uint64_t seq) {
    started_ = true;
    cursor_ = seq;
    gap_at_ = 0;
    late_.erase(late_.upper_bound(seq), late_.end());
}

void AuditFollower::look_again(std::uint64_t seq, Clock::time_point now) {
    if (seq <= cursor_) late_.emplace(seq, now + settings_.retention);
}

template <class T>
ReadDone<T> AuditFollower::while_alive(std::function<void(Result<T>)> then) {
    return [alive = std::weak_ptr<int>(alive_), then = std::move(then)](Result<T> got) {
        if (alive.expired()) return;
        then(std::move(got));
    };
}

AuditQuery newest_entry_query() {
    AuditQuery newest;
    newest.newest_first = true;
    newest.limit = 1;
    return newest;
}

std::uint64_t newest_seq_in(const std::vector<AuditEntry>& found) {
    return found.empty() ? 0 : found.front().seq;
}

bool AuditFollower::start_now() {
    if (started_) return true;
    Result<std::vector<AuditEntry>> read = store_.read_audit(newest_entry_query());
    if (read) start_at(newest_seq_in(read.value()));
    return started_;
}

bool AuditFollower::start(std::function<void(bool)> done) {
    if (started_) {
        done(true);
        return true;
    }
    if (reading_) return false;
    reading_ = true;
    store_.async_read_audit(newest_entry_query(), while_alive<std::vector<AuditEntry>>(
                                        [this, done = std::move(done)](Result<std::vector<AuditEntry>> read) {
                                            reading_ = false;
                                            if (read && !started_) {
                                                start_at(newest_seq_in(read.value()));
                                            }
                                            done(started_);
                                        }));
    return true;
}

bool AuditFollower::read(std::size_t limit, ReadDoneFn done, Clock::time_point now) {
    if (reading_) return false;
    reading_ = true;
    std::optional<AuditQuery> late = late_query(limit, now);
    if (!late) {
        read_page(limit, Read{}, now, std::move(done));
        return true;
    }
    store_.async_read_audit(*late, while_alive<std::vector<AuditEntry>>(
                                       [this, limit, now, done = std::move(done)](Result<std::vector<AuditEntry>> found) mutable {
                                           if (!found) {
                                               reading_ = false;
                                               done(std::move(found).take_failure());
                                               return;
                                           }
                                           took_late(found.value());
                                           Read out;
                                           out.late = std::move(found).value();
                                           read_page(limit, std::move(out), now, std::move(done));
                                       }));
    return true;
}

void AuditFollower::read_page(std::size_t limit, Read out, Clock::time_point now, ReadDoneFn done) {
    const std::size_t room = limit - std::min(limit, out.late.size());
    if (room == 0) {
        out.more = true;
        reading_ = false;
        done(std::move(out));
        return;
    }
    store_.async_read_audit(page_query(room),
                            while_alive<std::vector<AuditEntry>>(
                                [this, room, now, out = std::move(out), done = std::move(done)](
                                    Result<std::vector<AuditEntry>> page) mutable {
                                    reading_ = false;
                                    if (!page) {
                                        done(std::move(page).take_failure());
                                        return;
                                    }
                                    took_page(std::move(page).value(), room, now, out);
                                    done(std::move(out));
                                }));
}

std::optional<AuditQuery> AuditFollower::late_query(std::size_t limit, Clock::time_point now) {
    std::erase_if(late_, [&](const auto& item) { return item.second <= now; });
    if (late_.empty()) return std::nullopt;
    // One query for all of them, its bounds keeping the scan to their span.
    AuditQuery query;
    query.after = late_.begin()->first - 1;
    query.before = late_.rbegin()->first + 1;
    query.limit = limit;
    query.seqs.reserve(late_.size());
    for (const auto& item : late_) query.seqs.push_back(item.first);
    return query;
}

void AuditFollower::took_late(const std::vector<AuditEntry>& found) {
    for (const AuditEntry& entry : found) late_.erase(entry.seq);
}

AuditQuery AuditFollower::page_query(std::size_t room) const {
    AuditQuery query;
    query.after = cursor_;
    query.limit = room;
    return query;
}

void AuditFollower::took_page(std::vector<AuditEntry> page, std::size_t room, Clock::time_point now,
                              Read& out) {
    out.more = page.size() == room;
    for (AuditEntry& entry : page) {
        // Read for an older cursor (start_at() came while the read was under way).
        if (entry.seq <= cursor_) continue;
        if (entry.seq != cursor_ + 1) {
            if (!gap_settled(cursor_ + 1, now)) {
                out.more = false;
                return;
            }
            pass_over(cursor_ + 1, entry, now);
        }
        cursor_ = entry.seq;
        out.entries.push_back(std::move(entry));
    }
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
