// postgres_store.h: the store several servers share, a PostgreSQL database.
//
// No server may decide from what it holds in memory, so every request is handed to
// the batcher, whose thread decides each batch in one transaction (pg_batch.h) and
// posts the batch's number back; the replies waiting for it then go. One transaction
// in flight at a time; batches are durable in the order they were numbered.
//
// When the connection is lost, the batch in flight, whose commit may or may not have
// happened, is answered with "store failed: ..." errors, never with a guessed verdict.
// So are the batches that come while the database is away; the batcher reconnects
// with a growing pause and serves again once the database answers, without a restart.
//
// Expiry is a sweep taken into a batch like a request: the holds whose deadline has
// passed are read and rejected as decide(approved=false) from expiry would. Other
// servers hold effects this one never saw, so it sweeps four times a second; the run
// locks make each expire once.
//
// No call to the database waits longer than the store timeout (--store-timeout): a
// batch whose transaction does not end within it is answered like one whose
// connection was lost, and the connection is made anew. The console's reads go to a
// thread of their own (pg_read_thread.h), never the network thread.
//
// What other servers commit is heard through LISTEN/NOTIFY and read from their
// committed audit entries (pg_change_listener.h), and told to the decided listener as
// decisions made elsewhere (Decision::elsewhere), with a resync decision whenever some
// may have been missed.
#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/store/audit_bounds.h"
#include "server/store/audit_pruning.h"
#include "server/store/batcher.h"
#include "server/store/postgres/pg_backoff.h"
#include "server/store/postgres/pg_batch.h"
#include "server/store/postgres/pg_change_listener.h"
#include "server/store/postgres/pg_connection.h"
#include "server/store/postgres/pg_read_thread.h"
#include "server/store/store.h"

namespace latchwork::server {

class PostgresStore final : public Store {
public:
    // Connects to `conninfo` and checks that the schema is the one this program
    // knows; posts completions to `io`, which must outlive the store.
    // Audit entries older than bounds.retention are pruned on the batcher's upkeep.
    // Every call to the database gives up after `timeout` (zero: never).
    static Result<std::unique_ptr<PostgresStore>> open(const std::string& conninfo,
                                                       boost::asio::io_context& io,
                                                       AuditBounds bounds = {},
                                                       std::chrono::milliseconds timeout = {});
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    // Rejects what expired while no server ran, then starts the batcher.
    Result<std::monostate> load() override;
    Answer answer(const Request& request, const DecisionSource& source) override;

    void set_hold_timeout(std::chrono::milliseconds timeout) override {
        hold_timeout_ms_ = timeout.count();
    }
    std::optional<std::int64_t> next_expiry_check() const override;
    std::size_t expire_due(std::int64_t now_ms) override;
    // Its checks come at a steady pace: nothing to tell.
    void set_expiry_listener(std::function<void()>) override {}
    void set_decided_listener(DecidedListener listener) override {
        decided_listener_ = std::move(listener);
    }

    std::uint64_t last_recorded() const noexcept override { return last_recorded_; }
    std::uint64_t durable() const noexcept override { return durable_; }
    void set_durable_listener(std::function<void()> listener) override {
        listener_ = std::move(listener);
    }
    std::optional<std::string> outage() const override;
    std::optional<std::string> stalled() const override;
    const LatencyHistogram* commit_latency() const noexcept override { return &commit_latency_; }

    Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                              std::string_view run_prefix) override;
    Result<std::optional<RunState>> read_run(std::string_view run_id) override;
    Result<std::uint64_t> read_pending_count() override;
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override;

    void async_read_held(std::size_t limit, std::uint64_t after, std::string run_prefix,
                         ReadDone<std::vector<HeldEffect>> done) override;
    void async_read_run(std::string run_id, ReadDone<std::optional<RunState>> done) override;
    void async_read_pending_count(ReadDone<std::uint64_t> done) override;
    void async_read_audit(AuditQuery query, ReadDone<std::vector<AuditEntry>> done) override;

private:
    struct BatchItem {
        BatchRequest item;
        std::shared_ptr<Reply> reply;  // the answer's slot; null for expiry: nobody waits
        bool sweep = false;            // stands for the holds due now
    };
    struct Batch {
        std::vector<BatchItem> items;

        bool empty() const noexcept { return items.empty(); }
        std::size_t requests() const noexcept { return items.size(); }
        void clear() { items.clear(); }
    };

    PostgresStore(std::string conninfo, PgConnection connection,
                  boost::asio::io_context& io, AuditBounds bounds, std::chrono::milliseconds timeout);
    // Queues `read` for the read thread; `done` gets its result on the network thread.
    template <class T, class Read>
    void read_later(ReadDone<T> done, Read read);
    // The batcher's upkeep: reconnecting while the database is away, else a step of
    // pruning the audit log when one is due.
    std::optional<Batcher<Batch>::Clock::time_point> upkeep_due() const;
    void upkeep();
    // On the batcher's thread: decides the batch and posts its end to the network thread.
    void commit(std::uint64_t number, Batch& batch);
    // On the batcher's thread (or before it starts): the holds due now, as requests
    // from expiry in place of the sweep.
    void expand_sweeps(std::vector<BatchItem>& items);
    // Decides `batch`, or answers it with the failure and returns its message.
    std::optional<std::string> serve_batch(std::vector<BatchItem>& batch);
    // While the database is away: one attempt to reconnect when the pause since the
    // last has passed.
    void try_reconnect();
    std::optional<Batcher<Batch>::Clock::time_point> reconnect_due() const;
    // Drops the connection and starts reconnecting at once.
    void lost_connection(const std::string& why);
    // Lets reads on the network thread know whether the database is away, and why.
    void mark_away(bool away);
    // On the network thread: the batch numbered `number` is answered, decided unless
    // `failed` says why not. `seconds`: what its transaction took, retries included.
    void finished(std::uint64_t number, std::vector<BatchItem> batch,
                  std::optional<std::string> failed, double seconds);
    // The connection of the reads still made on the network thread (the audit
    // follower's, each bounded by the timeout), opened when first needed; null while
    // the database is away or a commit is overdue.
    PgConnection* reader();
    // On the network thread: what the other servers committed, told as decisions made
    // elsewhere; `missed`: some may not have been heard, a resync is told after them.
    void heard(std::vector<AuditEntry> entries, bool missed);

    boost::asio::io_context& io_;
    const std::string conninfo_;
    const std::chrono::milliseconds timeout_;
    // This server's id in the notifications it sends, so it can tell its own apart.
    const std::string server_id_;

    // The batcher thread's own.
    std::optional<PgConnection> connection_;  // empty while the database is away
    std::string outage_;                  // why, while it is away
    Batcher<Batch>::Clock::time_point next_attempt_{};
    Backoff backoff_;                     // paces the reconnection attempts
    std::atomic<std::int64_t> hold_timeout_ms_{0};
    AuditPruning pruning_;
    // Set once the store is going: the last batches are answered without waiting for
    // a new connection, so that a stop takes at most one timeout.
    std::atomic<bool> stopping_{false};
    // When the commit under way started (steady clock, ns); 0 between commits.
    std::atomic<std::int64_t> commit_started_ns_{0};

    // Shared with the network thread.
    mutable std::mutex away_mutex_;
    std::atomic<bool> away_{false};       // the batcher has lost its connection
    std::string away_reason_;             // outage_, for the network thread, under away_mutex_

    // The network thread's own.
    std::uint64_t last_recorded_ = 0;
    std::uint64_t durable_ = 0;
    std::uint64_t sweep_batch_ = 0;  // the batch a sweep waits in; 0: none
    std::function<void()> listener_;
    DecidedListener decided_listener_;
    LatencyHistogram commit_latency_;
    std::optional<PgConnection> reader_;
    std::string reader_failure_;

    std::optional<PgChangeListener> change_listener_;  // from load() on
    PgReadThread read_thread_;
    Batcher<Batch> batcher_;  // last, so its thread stops before the rest goes
};

}  // namespace latchwork::server
