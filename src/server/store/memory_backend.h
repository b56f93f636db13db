// memory_backend.h: the back end that keeps everything in memory: a resident ledger and the newest audit entries, durable as written.
#pragma once

#include <deque>
#include <mutex>

#include "server/store/audit_bounds.h"
#include "server/store/resident_backend.h"

namespace latchwork::server {

// The audit log is the newest entries: at most bounds.max_entries, none older than
// bounds.retention (checked as entries are written). Entries are numbered 1, 2, 3, ...
// for good, so that a cursor taken before a drop still means the same place after it.
class MemoryBackend final : public ResidentBackend {
public:
    explicit MemoryBackend(AuditBounds bounds = {}) : bounds_(bounds) {}

    BackendCapabilities capabilities() const noexcept override {
        BackendCapabilities can;
        can.writes_at_once = true;
        return can;
    }
    SharedLink* shared_link() noexcept override { return nullptr; }
    Journal* journal() noexcept override { return nullptr; }

    Result<std::monostate> load(std::chrono::milliseconds) override { return std::monostate{}; }

    BackendStep write(std::span<const BatchRequest> batch, std::span<const AuditEntry> audit) override;

    Result<std::uint64_t> prune_audit(std::int64_t older_than_ms, std::uint64_t limit) override;

    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override;

    void close() override {}

private:
    AuditBounds bounds_;
    mutable std::mutex audit_mutex_;
    std::uint64_t last_seq_ = 0;    // the newest entry's seq, dropped or not
    std::deque<AuditEntry> audit_;  // oldest first, seq contiguous up to last_seq_
};

}  // namespace latchwork::server
