// resident_backend.h: what the back ends that hold the whole state in memory share: the batch decided on their ledger, due holds by its index, reads at once.
#pragma once

#include "server/store/resident_grants.h"
#include "server/store/resident_ledger.h"
#include "server/store/store_backend.h"

namespace latchwork::server {

// Memory and SQLite fill the rest: capabilities, loading, writing, pruning, the audit
// log's reads and closing.
class ResidentBackend : public StoreBackend {
public:
    // Every run is loaded already: the batch only takes the ledger's lock, until
    // write() or abandon().
    BackendStep lock_and_load(std::span<const BatchRequest>, BatchScope& scope) final {
        resident_.lock(scope);
        scope.grants = &grants_;
        return BackendStep::ok();
    }
    // A grant is kept at once: a later request of the same batch is decided with it.
    void decided(const BatchRequest& item) final {
        resident_.decided(item);
        grants_.decided(item);
    }
    void abandon() final { resident_.unlock(); }

    Result<std::vector<std::pair<std::string, std::string>>> due_holds(std::int64_t now_ms,
                                                                       std::size_t limit) final {
        return resident_.due(now_ms, limit);
    }
    // The nearest deadline, exactly.
    std::optional<std::int64_t> next_expiry_check(std::int64_t) const final { return resident_.next_deadline(); }

    Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                              std::string_view run_prefix) final {
        return resident_.read_held(limit, after, run_prefix);
    }
    Result<std::optional<RunState>> read_run(std::string_view run_id) final { return resident_.read_run(run_id); }
    Result<std::uint64_t> read_pending_count() final { return resident_.pending_count(); }
    // Each completes before it returns: nothing waits for a database.
    void async_read_held(std::size_t limit, std::uint64_t after, std::string run_prefix,
                         ReadDone<std::vector<HeldEffect>> done) final {
        done(read_held(limit, after, run_prefix));
    }
    void async_read_run(std::string run_id, ReadDone<std::optional<RunState>> done) final {
        done(read_run(run_id));
    }
    void async_read_pending_count(ReadDone<std::uint64_t> done) final { done(read_pending_count()); }
    void async_read_audit(AuditQuery query, ReadDone<std::vector<AuditEntry>> done) final {
        done(read_audit(query));
    }
    void async_read_grants(std::int64_t now_ms, ReadDone<std::vector<Grant>> done) final {
        done(std::move(*grants_.live_grants({}, now_ms)));
    }

    const ResidentLedger& resident() const noexcept { return resident_; }

protected:
    ResidentLedger resident_;
    ResidentGrants grants_;
};

}  // namespace latchwork::server
