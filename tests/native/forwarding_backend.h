// forwarding_backend.h: a back end that hands every call to a memory back end, for tests to override what they watch.
#pragma once

#include <memory>

#include "server/store/memory_backend.h"

namespace latchwork::testing {

using namespace latchwork::server;

class ForwardingBackend : public StoreBackend {
public:
    BackendCapabilities capabilities() const noexcept override { return inner_.capabilities(); }
    SharedLink* shared_link() noexcept override { return nullptr; }
    Journal* journal() noexcept override { return nullptr; }
    Result<std::monostate> load(std::chrono::milliseconds hold_timeout) override { return inner_.load(hold_timeout); }
    BackendStep lock_and_load(std::span<const BatchRequest> batch, BatchScope& scope) override {
        return inner_.lock_and_load(batch, scope);
    }
    void decided(const BatchRequest& item) override { inner_.decided(item); }
    BackendStep write(std::span<const BatchRequest> batch, std::span<const AuditEntry> audit) override {
        return inner_.write(batch, audit);
    }
    void abandon() override { inner_.abandon(); }
    Result<std::vector<std::pair<std::string, std::string>>> due_holds(std::int64_t now_ms,
                                                                       std::size_t limit) override {
        return inner_.due_holds(now_ms, limit);
    }
    std::optional<std::int64_t> next_expiry_check(std::int64_t now_ms) const override {
        return inner_.next_expiry_check(now_ms);
    }
    Result<std::uint64_t> prune_audit(std::int64_t older_than_ms, std::uint64_t limit) override {
        return inner_.prune_audit(older_than_ms, limit);
    }
    Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                              std::string_view run_prefix) override {
        return inner_.read_held(limit, after, run_prefix);
    }
    Result<std::optional<RunState>> read_run(std::string_view run_id) override { return inner_.read_run(run_id); }
    Result<std::uint64_t> read_pending_count() override { return inner_.read_pending_count(); }
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override { return inner_.read_audit(query); }
    // Through the synchronous reads, so that overriding those covers both.
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
    void async_read_grants(std::int64_t now_ms, ReadDone<std::vector<Grant>> done) override {
        inner_.async_read_grants(now_ms, std::move(done));
    }
    void close() override {}

    const ResidentLedger& resident() const noexcept { return inner_.resident(); }

protected:
    MemoryBackend inner_;
};

}  // namespace latchwork::testing
