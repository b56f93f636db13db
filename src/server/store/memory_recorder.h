// memory_recorder.h: the recorder that keeps nothing beyond the ledger and its audit log: durable on record.
#pragma once

#include <algorithm>
#include <deque>
#include <vector>

#include "server/store/audit_bounds.h"
#include "server/store/recorder.h"

namespace latchwork::server {

// The audit log is the newest entries: at most bounds.max_entries, none older than
// bounds.retention (checked as entries are added). Entries are numbered 1, 2, 3, ...
// for good, so that a cursor taken before a drop still means the same place after it.
class MemoryRecorder final : public Recorder {
public:
    explicit MemoryRecorder(AuditBounds bounds = {}) : bounds_(bounds) {}

    Result<std::monostate> load(RunLedger&) override { return std::monostate{}; }
    std::uint64_t record(std::span<const StateChange>, std::span<const AuditEntry> audit) override {
        for (const AuditEntry& entry : audit) {
            audit_.push_back(entry);
            audit_.back().seq = ++last_seq_;
        }
        if (!audit.empty()) prune(audit.back().at_ms);
        // The ledger itself is all the state there is; the batch is done as it is taken.
        durable_ = ++recorded_;
        return recorded_;
    }
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override {
        std::vector<AuditEntry> found;
        // Entry i has seq first + i: the cursors become indexes.
        const std::uint64_t first = last_seq_ + 1 - audit_.size();
        const std::size_t size = audit_.size();
        const std::size_t begin =
            query.after < first ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, query.after - first + 1));
        const std::size_t end =
            query.before == 0 ? size
            : query.before <= first ? 0
                                    : static_cast<std::size_t>(std::min<std::uint64_t>(size, query.before - first));
        const auto take = [&](std::size_t i) {
            const AuditEntry& entry = audit_[i];
            if ((!query.run || entry.run_id == *query.run) &&
                (!query.effect || entry.effect_key == *query.effect) &&
                (query.seqs.empty() || std::binary_search(query.seqs.begin(), query.seqs.end(), entry.seq))) {
                found.push_back(entry);
            }
        };
        if (query.newest_first) {
            for (std::size_t i = end; i > begin && found.size() < query.limit; --i) take(i - 1);
        } else {
            for (std::size_t i = begin; i < end && found.size() < query.limit; ++i) take(i);
        }
        return found;
    }
    std::uint64_t last_recorded() const noexcept override { return recorded_; }
    std::uint64_t durable() const noexcept override { return durable_; }
    // durable() never advances later than record(), so there is nothing to tell.
    void set_durable_listener(std::function<void()>) override {}

private:
    // Drops from the oldest end: beyond the cap, and older than the retention as of
    // `now_ms` (the newest entry's time, so a test needs no clock of its own).
    void prune(std::int64_t now_ms) {
        while (audit_.size() > bounds_.max_entries) audit_.pop_front();
        const std::int64_t oldest_kept = now_ms - bounds_.retention.count();
        while (!audit_.empty() && audit_.front().at_ms < oldest_kept) audit_.pop_front();
    }

    AuditBounds bounds_;
    std::uint64_t recorded_ = 0;
    std::uint64_t durable_ = 0;
    std::uint64_t last_seq_ = 0;      // the newest entry's seq, dropped or not
    std::deque<AuditEntry> audit_;    // oldest first, seq contiguous up to last_seq_
};

}  // namespace latchwork::server
