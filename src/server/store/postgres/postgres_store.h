// postgres_store.h: the store several servers share, a PostgreSQL database.
//
// The network thread hands every request to the store (take_request) instead of
// deciding it. The store's own thread takes all requests that arrived while the
// previous transaction was in flight as one batch, decides them in one transaction
// (postgres/pg_batch.h) and posts the batch's number back; the replies waiting for it
// then go. One transaction in flight at a time; batches are durable in the order they
// were numbered.
//
// When the connection is lost, the batch in flight, whose commit may or may not have
// happened, is answered with "store failed: ..." errors, never with a guessed verdict.
// So are the batches that come while the database is away; the thread reconnects
// with a growing pause and serves again once the database answers, without a restart.
#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/store/postgres/pg_batch.h"
#include "server/store/postgres/pg_connection.h"
#include "server/store/store.h"

namespace latchwork::server {

class PostgresStore final : public Store {
public:
    // Connects to `conninfo` and checks that the schema is the one this program
    // knows; posts completions to `io`, which must outlive the store.
    static Result<std::unique_ptr<PostgresStore>> open(const std::string& conninfo,
                                                       boost::asio::io_context& io);
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    // The ledger stays empty: the state is in the database. Starts the thread.
    Result<std::monostate> load(RunLedger& ledger) override;
    // Never called: the store's own transactions make every change and audit entry.
    std::uint64_t record(std::span<const StateChange>, std::span<const AuditEntry>) override {
        return last_recorded_;
    }
    std::uint64_t last_recorded() const noexcept override { return last_recorded_; }
    std::uint64_t durable() const noexcept override { return durable_; }
    void set_durable_listener(std::function<void()> listener) override {
        listener_ = std::move(listener);
    }
    bool decides_requests() const noexcept override { return true; }
    std::uint64_t take_request(const Request& request, const DecisionSource& source,
                               std::shared_ptr<DeferredReply> reply) override;
    void set_decided_listener(DecidedListener listener) override {
        decided_listener_ = std::move(listener);
    }
    void set_hold_timeout(std::chrono::milliseconds timeout) override {
        hold_timeout_ms_ = timeout.count();
    }
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override;
    Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                              std::string_view run_prefix) override;
    Result<std::optional<RunState>> read_run(std::string_view run_id) override;
    Result<std::uint64_t> read_pending_count() override;
    const LatencyHistogram* commit_latency() const noexcept override { return &commit_latency_; }
    std::optional<std::string> outage() const override;

private:
    struct Waiting {
        postgres::BatchRequest item;
        std::shared_ptr<DeferredReply> reply;  // null for expiry: nobody waits
    };

    PostgresStore(std::string conninfo, postgres::PgConnection connection,
                  boost::asio::io_context& io);
    void serve_loop();
    // On the store's thread: decides `batch`, or answers it with the failure; true
    // when it was decided.
    bool serve_batch(std::vector<Waiting>& batch);
    // On the store's thread, while the database is away: one attempt to reconnect
    // when the pause since the last has passed.
    void try_reconnect();
    // Drops the connection and starts reconnecting at once.
    void lost_connection(const std::string& why);
    // Lets reads on the network thread know whether the database is away, and why.
    void mark_away(bool away);
    // On the network thread: the batch numbered `number` is answered.
    // `seconds`: what its transaction took, retries included.
    void finished(std::uint64_t number, std::vector<Waiting> batch, bool decided, double seconds);
    // On the store's thread: rejects the held effects whose deadline has passed, as
    // decide(approved=false) from expiry would, in batches of their own. Every server
    // sharing the store does it; the run locks make each expire once.
    void expire_due();
    // The connection reads on the network thread use, opened when first needed;
    // null while the database is away.
    postgres::PgConnection* reader();

    boost::asio::io_context& io_;
    const std::string conninfo_;

    // The store thread's own.
    std::optional<postgres::PgConnection> connection_;  // empty while the database is away
    std::string outage_;                  // why, while it is away
    std::chrono::steady_clock::time_point next_attempt_{};
    std::chrono::milliseconds pause_{0};  // before the next reconnection attempt
    std::chrono::steady_clock::time_point next_expiry_{};
    std::atomic<bool> away_{false};       // the store thread has lost its connection

    // Shared by both threads, under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Waiting> open_;       // the batch being filled
    std::uint64_t open_number_ = 1;   // its number
    std::atomic<std::int64_t> hold_timeout_ms_{0};
    std::size_t gather_target_ = 0;   // while gathering: the requests waited for
    bool stopping_ = false;
    std::string away_reason_;         // outage_, for the network thread

    // The network thread's own.
    std::uint64_t last_recorded_ = 0;
    std::uint64_t durable_ = 0;
    std::function<void()> listener_;
    DecidedListener decided_listener_;
    LatencyHistogram commit_latency_;
    std::optional<postgres::PgConnection> reader_;
    std::string reader_failure_;

    std::thread worker_;
};

}  // namespace latchwork::server
