// batch_store.h: the one store: requests gathered into batches, each decided and written over a back end that fills every step.
//
// The network thread takes each request into the open batch and goes on; the loop's
// thread (the batcher's), whenever it is free, takes the whole open batch and
//   1. adds the holds whose deadline has passed, when an expiry sweep is in it;
//   2. has the back end lock and load the runs the batch names;
//   3. decides every request in arrival order with apply_request();
//   4. has the back end write the batch durably;
// then posts the batch back to the network thread, which fills each answer's reply,
// tells the decided listener of each request and lets the replies go (durable()
// advances, the durable listener is called).
//
// What a back end cannot do is read from its capabilities (store_backend.h):
//   * one that is durable as it writes (memory) has no thread: each request is a
//     batch decided and written as it is taken;
//   * one whose writes may run on the network thread (SQLite) has a lone client's
//     batch written there (see Batcher);
//   * one that is shared (PostgreSQL) may lose its connection: the batch in flight,
//     whose commit may or may not have happened, is answered with "store failed: ..."
//     errors, never a guessed verdict, and so are the batches that come while the
//     database is away; the loop reconnects with a growing pause between batches. A
//     conflict with another server's transaction decides the batch again.
//   * a write whose outcome on disk is unknown fails the store for good (failure()).
//
// Expiry is one design for every back end: a sweep taken into a batch like a request,
// one at a time, at the time the back end says (its nearest deadline, or a steady
// pace for a store other servers hold effects in). Upkeep runs between batches on the
// loop's thread: reconnecting, folding a journal, and pruning the audit log a slice
// at a time.
#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/store/audit_bounds.h"
#include "server/store/audit_pruning.h"
#include "server/store/backoff.h"
#include "server/store/batcher.h"
#include "server/store/store.h"
#include "server/store/store_backend.h"

namespace latchwork::server {

class BatchStore final : public Store {
public:
    // Completions are posted to `io`, whose one thread is the network thread; it must
    // outlive the store. Audit entries older than bounds.retention are pruned.
    BatchStore(std::unique_ptr<StoreBackend> backend, boost::asio::io_context& io, AuditBounds bounds = {});
    ~BatchStore() override;
    BatchStore(const BatchStore&) = delete;
    BatchStore& operator=(const BatchStore&) = delete;

    // Loads what the back end holds and rejects what expired while no server ran, then
    // starts the loop. Set the hold timeout first.
    Result<std::monostate> load() override;
    Answer answer(const Request& request, const DecisionSource& source) override;

    void set_hold_timeout(std::chrono::milliseconds timeout) override { hold_timeout_ms_ = timeout.count(); }
    void set_rules(RulesInForce* rules) override { rules_ = rules; }
    void set_console_url(std::string url) override { console_url_ = std::move(url); }
    std::optional<std::int64_t> next_expiry_check() const override;
    std::size_t expire_due(std::int64_t now_ms) override;
    void set_expiry_listener(std::function<void()> listener) override { expiry_listener_ = std::move(listener); }
    void set_decided_listener(DecidedListener listener) override { decided_listener_ = std::move(listener); }

    std::uint64_t last_recorded() const noexcept override { return last_recorded_; }
    std::uint64_t durable() const noexcept override { return durable_; }
    void set_durable_listener(std::function<void()> listener) override { listener_ = std::move(listener); }
    const Failure* failure() const noexcept override { return failure_ ? &*failure_ : nullptr; }
    std::optional<std::string> outage() const override;
    std::optional<std::string> stalled() const override;
    const LatencyHistogram* commit_latency() const noexcept override {
        return capabilities_.writes_at_once ? nullptr : &commit_latency_;
    }

    Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                              std::string_view run_prefix) override {
        return backend_->read_held(limit, after, run_prefix);
    }
    Result<std::optional<RunState>> read_run(std::string_view run_id) override { return backend_->read_run(run_id); }
    Result<std::uint64_t> read_pending_count() override { return backend_->read_pending_count(); }
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override {
        return backend_->read_audit(query);
    }
    void async_read_held(std::size_t limit, std::uint64_t after, std::string run_prefix,
                         ReadDone<std::vector<HeldEffect>> done) override {
        backend_->async_read_held(limit, after, std::move(run_prefix), std::move(done));
    }
    void async_read_run(std::string run_id, ReadDone<std::optional<RunState>> done) override {
        backend_->async_read_run(std::move(run_id), std::move(done));
    }
    void async_read_pending_count(ReadDone<std::uint64_t> done) override {
        backend_->async_read_pending_count(std::move(done));
    }
    void async_read_audit(AuditQuery query, ReadDone<std::vector<AuditEntry>> done) override {
        backend_->async_read_audit(std::move(query), std::move(done));
    }
    void async_read_servers(ReadDone<std::vector<ServerRules>> done) override {
        if (SharedLink* link = backend_->shared_link()) {
            link->async_read_servers(std::move(done));
        } else {
            done(std::vector<ServerRules>{});
        }
    }

    void async_read_grants(std::int64_t now_ms, ReadDone<std::vector<Grant>> done) override {
        backend_->async_read_grants(now_ms, std::move(done));
    }

    StoreBackend& backend() noexcept { return *backend_; }

private:
    using Clock = std::chrono::steady_clock;

    // The requests of one batch, and the slots their answers are read from (null for
    // expiry: nobody waits).
    struct Batch {
        std::vector<BatchRequest> items;
        std::vector<std::shared_ptr<Reply>> slots;
        bool sweep = false;  // stands for the holds due when the batch is decided
        std::int64_t sweep_at_ms = 0;  // due as of then; 0: when the batch is decided

        bool empty() const noexcept { return items.empty() && !sweep; }
        std::size_t requests() const noexcept { return items.size() + (sweep ? 1 : 0); }
        void clear() {
            items.clear();
            slots.clear();
            sweep = false;
            sweep_at_ms = 0;
        }
    };

    // How a batch ended, as the network thread is told it.
    struct Outcome {
        enum class Kind : std::uint8_t { decided, answered, broken };
        Kind kind = Kind::decided;
        std::string message;  // answered: the replies' error; broken: the store's failure
    };

    // On the loop's thread (or the network thread while the loop keeps off).
    void commit(std::uint64_t number, Batch& batch);
    Outcome serve(Batch& batch);
    BackendStep attempt(std::vector<BatchRequest>& requests, const DecisionClock& clock);
    void expand_sweep(Batch& batch);
    void note_lost(const std::string& why);
    void try_reconnect();
    std::optional<Clock::time_point> upkeep_due();
    void upkeep();
    void announce_rules(SharedLink& link);
    // On the network thread: the batch numbered `number` ended so.
    void finished(std::uint64_t number, Batch& batch, const Outcome& outcome, double seconds, bool tell_durable);

    std::unique_ptr<StoreBackend> backend_;
    const BackendCapabilities capabilities_;
    boost::asio::io_context& io_;
    std::atomic<std::int64_t> hold_timeout_ms_{0};
    RulesInForce* rules_ = nullptr;  // set before load(), outlives the store
    std::string console_url_;        // likewise: the console's public base, or empty

    // The loop thread's own.
    std::vector<StateChange> changes_;  // of the request being decided
    std::vector<AuditEntry> audit_;     // of the batch
    std::vector<std::pair<std::string, RuleOutcome::Action>> matched_;  // the batch's rule matches
    AuditPruning pruning_;
    Backoff backoff_;
    Clock::time_point next_attempt_{};
    // When a shared store's link next says which rules this server decides by: at
    // once on start and after a reconnect, then every kServerAnnouncePeriod.
    Clock::time_point next_announce_{};
    bool broken_ = false;  // a write failed for good: nothing more is written
    // When the write under way started (steady clock, ns); 0 between writes.
    std::atomic<std::int64_t> write_started_ns_{0};
    std::atomic<bool> stopping_{false};

    // The network thread's own.
    std::uint64_t last_recorded_ = 0;
    std::uint64_t durable_ = 0;
    std::uint64_t sweep_batch_ = 0;  // the batch a sweep waits in; 0: none
    std::optional<Failure> failure_;
    std::function<void()> listener_;
    std::function<void()> expiry_listener_;
    DecidedListener decided_listener_;
    LatencyHistogram commit_latency_;
    Batch at_once_;            // reused by a back end that writes as it takes
    bool at_once_busy_ = false;

    Batcher<Batch> batcher_;  // last, so its thread stops before the rest goes
};

}  // namespace latchwork::server
