// memory_backend.h: the back end that keeps everything in memory: a resident ledger and the newest audit entries, durable as written.
#pragma once

#include <deque>
#include <mutex>

#include "server/store/audit_bounds.h"
#include "server/store/resident_ledger.h"
#include "server/store/store_backend.h"

namespace latchwork::server {

// The audit log is the newest entries: at most bounds.max_entries, none older than
// bounds.retention (checked as entries are written). Entries are numbered 1, 2, 3, ...
// for good, so that a cursor taken before a drop still means the same place after it.
class MemoryBackend final : public StoreBackend {
public:
    explicit MemoryBackend(AuditBounds bounds = {}) : bounds_(bounds) {}

    BackendCapabilities capabilities() const noexcept override {
        BackendCapabilities can;
        can.resident_ledger = true;
        can.writes_at_once = true;
        return can;
    }
    SharedLink* shared_link() noexcept override { return nullptr; }
    Journal* journal() noexcept override { return nullptr; }

    Result<std::monostate> load(std::chrono::milliseconds) override { return std::monostate{}; }

    BackendStep lock_and_load(std::span<const BatchRequest>, BatchScope& scope) override {
        resident_.lock(scope);
        return BackendStep::ok();
    }
    void decided(const BatchRequest& item) override { resident_.decided(item); }
    BackendStep write(std::span<const BatchRequest> batch, std::span<const AuditEntry> audit) override;
    void abandon() override { resident_.unlock(); }

    Result<std::vector<std::pair<std::string, std::string>>> due_holds(std::int64_t now_ms,
                                                                       std::size_t limit) override {
        return resident_.due(now_ms, limit);
    }
    std::optional<std::int64_t> next_expiry_check(std::int64_t) const override {
        return resident_.next_deadline();
    }
    Result<std::uint64_t> prune_audit(std::int64_t older_than_ms, std::uint64_t limit) override;

    Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                              std::string_view run_prefix) override {
        return resident_.read_held(limit, after, run_prefix);
    }
    Result<std::optional<RunState>> read_run(std::string_view run_id) override {
        return resident_.read_run(run_id);
    }
    Result<std::uint64_t> read_pending_count() override { return resident_.pending_count(); }
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override;
    void async_read_held(std::size_t limit, std::uint64_t after, std::string run_prefix,
                         ReadDone<std::vector<HeldEffect>> done) override {
        done(read_held(limit, after, run_prefix));
    }
    void async_read_run(std::string run_id, ReadDone<std::optional<RunState>> done) override {
        done(read_run(run_id));
    }
    void async_read_pending_count(ReadDone<std::uint64_t> done) override { done(read_pending_count()); }
    void async_read_audit(AuditQuery query, ReadDone<std::vector<AuditEntry>> done) override {
        done(read_audit(query));
    }

    void close() override {}

    const ResidentLedger& resident() const noexcept { return resident_; }

private:
    AuditBounds bounds_;
    ResidentLedger resident_;
    mutable std::mutex audit_mutex_;
    std::uint64_t last_seq_ = 0;    // the newest entry's seq, dropped or not
    std::deque<AuditEntry> audit_;  // oldest first, seq contiguous up to last_seq_
};

}  // namespace latchwork::server
