// memory_backend.cpp: the back end that keeps everything in memory: a resident ledger and the newest audit entries, durable as written.
#include "server/store/memory_backend.h"

#include <algorithm>

namespace latchwork::server {

BackendStep MemoryBackend::write(std::span<const BatchRequest>, std::span<const AuditEntry> audit) {
    resident_.unlock();
    const std::lock_guard lock(audit_mutex_);
    for (const AuditEntry& entry : audit) {
        audit_.push_back(entry);
        audit_.back().seq = ++last_seq_;
    }
    if (!audit.empty()) {
        // Beyond the cap, and older than the retention as of the newest entry's time
        // (so a test needs no clock of its own).
        while (audit_.size() > bounds_.max_entries) audit_.pop_front();
        const std::int64_t oldest_kept = audit.back().at_ms - bounds_.retention.count();
        while (!audit_.empty() && audit_.front().at_ms < oldest_kept) audit_.pop_front();
    }
    return BackendStep::ok();
}

Result<std::uint64_t> MemoryBackend::prune_audit(std::int64_t older_than_ms, std::uint64_t limit) {
    const std::lock_guard lock(audit_mutex_);
    std::uint64_t deleted = 0;
    while (deleted < limit && !audit_.empty() && audit_.front().at_ms < older_than_ms) {
        audit_.pop_front();
        ++deleted;
    }
    return deleted;
}

Result<std::vector<AuditEntry>> MemoryBackend::read_audit(const AuditQuery& query) {
    const std::lock_guard lock(audit_mutex_);
    std::vector<AuditEntry> found;
    // Entry i has seq first + i: the cursors become indexes.
    const std::uint64_t first = last_seq_ + 1 - audit_.size();
    const std::size_t size = audit_.size();
    const std::size_t begin =
        query.after < first ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, query.after - first + 1));
    const std::size_t end = query.before == 0       ? size
                            : query.before <= first ? 0
                                                    : static_cast<std::size_t>(std::min<std::uint64_t>(size, query.before - first));
    const auto take = [&](std::size_t i) {
        const AuditEntry& entry = audit_[i];
        if ((!query.run || entry.run_id == *query.run) && (!query.effect || entry.effect_key == *query.effect) &&
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

}  // namespace latchwork::server
