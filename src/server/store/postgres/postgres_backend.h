// postgres_backend.h: the back end several servers share, a PostgreSQL database.
//
// No server may decide from what it holds in memory, so each batch is one transaction
// (pg_batch.h): lock_and_load begins it, locks the runs the batch names and reads them
// into a scratch ledger; write commits it. What another server commits is heard
// through LISTEN/NOTIFY and read from its committed audit entries
// (pg_change_listener.h). Other servers hold effects this one never saw, so due holds
// are looked for four times a second; the run locks make each expire once.
//
// No call to the database waits longer than the store timeout (--store-timeout). The
// console's reads go to a thread of their own (pg_read_thread.h), never the network
// thread.
#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "server/store/postgres/pg_batch.h"
#include "server/store/postgres/pg_change_listener.h"
#include "server/store/postgres/pg_connection.h"
#include "server/store/postgres/pg_read_thread.h"
#include "server/store/store_backend.h"

namespace latchwork::server {

class PostgresBackend final : public StoreBackend, private SharedLink {
public:
    // Connects to `conninfo` and checks that the schema is the one this program knows;
    // posts what it hears and reads to `io`, which must outlive it. Every call to the
    // database gives up after `timeout` (zero: never).
    static Result<std::unique_ptr<PostgresBackend>> open(const std::string& conninfo, boost::asio::io_context& io,
                                                         std::chrono::milliseconds timeout = {});
    ~PostgresBackend() override;
    PostgresBackend(const PostgresBackend&) = delete;
    PostgresBackend& operator=(const PostgresBackend&) = delete;

    BackendCapabilities capabilities() const noexcept override {
        BackendCapabilities can;
        can.shared = true;
        can.prunes_audit = true;
        can.timeout = timeout_;
        return can;
    }
    SharedLink* shared_link() noexcept override { return this; }
    Journal* journal() noexcept override { return nullptr; }

    Result<std::monostate> load(std::chrono::milliseconds) override { return std::monostate{}; }

    BackendStep lock_and_load(std::span<const BatchRequest> batch, BatchScope& scope) override;
    void decided(const BatchRequest& item) override { transaction_->decided(item); }
    BackendStep write(std::span<const BatchRequest> batch, std::span<const AuditEntry> audit) override;
    void abandon() override;

    Result<std::vector<std::pair<std::string, std::string>>> due_holds(std::int64_t now_ms,
                                                                       std::size_t limit) override;
    std::optional<std::int64_t> next_expiry_check(std::int64_t now_ms) const override;
    Result<std::uint64_t> prune_audit(std::int64_t older_than_ms, std::uint64_t limit) override;

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
    void async_read_grants(std::int64_t now_ms, ReadDone<std::vector<Grant>> done) override;

    // Takes this server out of the live servers' list, when the database answers.
    void close() override;

private:
    PostgresBackend(std::string conninfo, PgConnection connection, boost::asio::io_context& io,
                    std::chrono::milliseconds timeout);

    // SharedLink
    bool connected() const override { return connection_.has_value(); }
    std::optional<std::string> reconnect() override;
    void disconnect(const std::string& why) override;
    std::optional<std::string> outage() const override;
    void start_hearing(DecidedListener heard) override;
    void request_stop() override;
    std::optional<std::string> announce(const ServerRules& rules) override;
    void async_read_servers(ReadDone<std::vector<ServerRules>> done) override;

    // How a failed statement ends the attempt; the transaction is over.
    BackendStep failed_step(const StatementFailure& failed);
    void end_transaction();
    // Why a read now would only wait for the failure a write met: the database is
    // away, or the transaction under way has waited past the timeout.
    std::optional<std::string> not_now() const;
    // Lets reads on the network thread know whether the database is away, and why.
    void mark_away(std::optional<std::string> why);
    // The connection of the synchronous reads (before serving), opened when first
    // needed; null while the database is away or a write is overdue.
    PgConnection* reader();
    template <class T, class Read>
    void read_later(ReadDone<T> done, Read read);

    boost::asio::io_context& io_;
    const std::string conninfo_;
    const std::chrono::milliseconds timeout_;
    // This server's id in the notifications it sends, so it can tell its own apart.
    const std::string server_id_;

    // The loop thread's own.
    std::optional<PgConnection> connection_;  // empty while the database is away
    std::optional<PgBatchTransaction> transaction_;  // from lock_and_load to write or abandon
    BackendStep count_failure_;
    // When the transaction under way began (steady clock, ns); 0 between transactions.
    std::atomic<std::int64_t> began_ns_{0};

    // Shared with the network thread.
    mutable std::mutex away_mutex_;
    std::atomic<bool> away_{false};
    std::string away_reason_;  // under away_mutex_

    // The network thread's own.
    std::optional<PgConnection> reader_;
    std::string reader_failure_;
    DecidedListener heard_;

    std::optional<PgChangeListener> change_listener_;  // from start_hearing() on
    PgReadThread read_thread_;
};

}  // namespace latchwork::server
