// postgres_backend.cpp: the back end several servers share, a PostgreSQL database.
#include "server/store/postgres/postgres_backend.h"

#include <boost/asio/post.hpp>

#include "server/store/postgres/pg_audit_prune.h"
#include "server/store/postgres/pg_change_notice.h"
#include "server/store/postgres/pg_reads.h"
#include "server/store/postgres/pg_servers.h"
#include "server/store/postgres/pg_schema.h"
#include "server/store/postgres/pg_server_id.h"

namespace latchwork::server {
namespace {

// How often the held effects are looked at for a passed deadline.
constexpr std::int64_t kExpiryIntervalMs = 250;

template <class T>
Result<T> read_failed(const std::string& why) {
    return Failure{"store failed: " + why};
}

// A read on a connection, its failure said as the store says it.
template <class T, class Read>
Result<T> read_with(PgConnection* connection, const std::string& unreachable, Read read) {
    if (connection == nullptr) return read_failed<T>(unreachable);
    Result<T> got = read(*connection);
    if (!got) return read_failed<T>(got.error());
    return got;
}

std::int64_t steady_ns() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

}  // namespace

Result<std::unique_ptr<PostgresBackend>> PostgresBackend::open(const std::string& conninfo,
                                                               boost::asio::io_context& io,
                                                               std::chrono::milliseconds timeout) {
    Result<PgConnection> connected = PgConnection::open(conninfo, timeout);
    if (!connected) return Failure{"cannot connect: " + connected.error()};
    if (Result<std::monostate> checked = check_schema(connected.value()); !checked) {
        return std::move(checked).take_failure();
    }
    return std::unique_ptr<PostgresBackend>(
        new PostgresBackend(conninfo, std::move(connected).value(), io, timeout));
}

PostgresBackend::PostgresBackend(std::string conninfo, PgConnection connection, boost::asio::io_context& io,
                                 std::chrono::milliseconds timeout)
    : io_(io),
      conninfo_(std::move(conninfo)),
      timeout_(timeout),
      server_id_(random_server_id()),
      connection_(std::move(connection)),
      read_thread_(conninfo_, timeout, [this]() -> std::optional<std::string> {
          if (!away_) return std::nullopt;
          const std::lock_guard lock(away_mutex_);
          return away_reason_;
      }) {}

PostgresBackend::~PostgresBackend() { request_stop(); }

void PostgresBackend::request_stop() {
    read_thread_.request_stop();
    if (change_listener_) change_listener_->request_stop();
}

BackendStep PostgresBackend::lock_and_load(std::span<const BatchRequest> batch, BatchScope& scope) {
    if (std::optional<StatementFailure> failed = prepare_batch_statements(*connection_)) return failed_step(*failed);
    began_ns_ = steady_ns();
    transaction_.emplace(*connection_, server_id_);
    if (std::optional<StatementFailure> failed = transaction_->begin_and_load(batch)) return failed_step(*failed);
    scope.ledger = &transaction_->ledger();
    scope.details = &*transaction_;
    scope.totals = &*transaction_;
    scope.count_failure = &count_failure_;
    scope.grants = &*transaction_;
    return BackendStep::ok();
}

BackendStep PostgresBackend::write(std::span<const BatchRequest>, std::span<const AuditEntry> audit) {
    std::optional<StatementFailure> failed = transaction_->write_and_commit(audit);
    if (failed) return failed_step(*failed);
    end_transaction();
    return BackendStep::ok();
}

void PostgresBackend::abandon() {
    // Asked after a count failed: that failure says how the transaction ended.
    if (std::optional<StatementFailure> failed = transaction_->count_failure()) {
        count_failure_ = failed_step(*failed);
        return;
    }
    (void)connection_->run("ROLLBACK");
    end_transaction();
}

void PostgresBackend::end_transaction() {
    transaction_.reset();
    began_ns_ = 0;
}

BackendStep PostgresBackend::failed_step(const StatementFailure& failed) {
    end_transaction();
    // The transaction is aborted either way; ending it keeps the connection usable.
    if (failed.kind != FailureKind::connection) (void)connection_->run("ROLLBACK");
    if (failed.kind == FailureKind::connection || !connection_->usable()) {
        return BackendStep{BackendStep::Kind::lost, failed.message, failed.may_have_committed, failed.timed_out};
    }
    if (failed.kind == FailureKind::retry) return BackendStep{BackendStep::Kind::retry, failed.message};
    return BackendStep{BackendStep::Kind::refused, failed.message};
}

Result<std::vector<std::pair<std::string, std::string>>> PostgresBackend::due_holds(std::int64_t now_ms,
                                                                                    std::size_t limit) {
    Result<std::vector<std::pair<std::string, std::string>>> due = select_due(*connection_, now_ms, limit);
    if (!due && !connection_->usable()) disconnect(due.error());
    return due;
}

std::optional<std::int64_t> PostgresBackend::next_expiry_check(std::int64_t now_ms) const {
    return now_ms + kExpiryIntervalMs;
}

Result<std::uint64_t> PostgresBackend::prune_audit(std::int64_t older_than_ms, std::uint64_t limit) {
    const std::int64_t now_ms = unix_time_ms();
    return prune_audit_step(*connection_, std::chrono::milliseconds(now_ms - older_than_ms), limit);
}

std::optional<std::string> PostgresBackend::reconnect() {
    Result<PgConnection> connected = PgConnection::open(conninfo_, timeout_);
    std::string why;
    if (connected) {
        // A database swapped for one at another schema must not be written to.
        if (Result<std::monostate> checked = check_schema(connected.value()); !checked) {
            why = checked.error();
        } else {
            connection_ = std::move(connected).value();
            mark_away(std::nullopt);
            return std::nullopt;
        }
    } else {
        why = connected.error();
    }
    mark_away(why);
    return why;
}

void PostgresBackend::disconnect(const std::string& why) {
    end_transaction();
    connection_.reset();
    mark_away(why);
}

std::optional<std::string> PostgresBackend::outage() const {
    if (!away_) return std::nullopt;
    const std::lock_guard lock(away_mutex_);
    return away_reason_;
}

void PostgresBackend::mark_away(std::optional<std::string> why) {
    {
        const std::lock_guard lock(away_mutex_);
        away_reason_ = why.value_or(std::string());
    }
    away_ = why.has_value();
}

void PostgresBackend::start_hearing(DecidedListener heard) {
    heard_ = std::move(heard);
    change_listener_.emplace(conninfo_, server_id_, timeout_, io_,
                             [this](std::vector<AuditEntry> entries, bool missed) {
                                 // Nothing of it waits for a batch here: it is committed
                                 // already. Who decided, and why, is what the committed
                                 // entry says.
                                 for (const AuditEntry& entry : entries) {
                                     const std::optional<HeardChange> change = heard_change(entry);
                                     if (!change) continue;
                                     heard_(Decision{&change->request, entry.verdict,
                                                     std::span<const StateChange>(&change->change, 1),
                                                     change->source, 0, entry.at_ms, entry.deadline_ms, true});
                                 }
                                 if (missed) {
                                     heard_(Decision{nullptr, "resync", {}, DecisionSource{}, 0, unix_time_ms(), 0,
                                                     true});
                                 }
                             });
    change_listener_->start();
}

std::optional<std::string> PostgresBackend::not_now() const {
    if (away_) {
        const std::lock_guard lock(away_mutex_);
        return away_reason_;
    }
    const std::int64_t began = began_ns_;
    if (began == 0 || timeout_.count() <= 0) return std::nullopt;
    const auto waited = std::chrono::nanoseconds(steady_ns() - began);
    if (waited <= timeout_) return std::nullopt;
    return "a commit has waited " +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()) +
           " ms for the database";
}

PgConnection* PostgresBackend::reader() {
    return kept_or_opened(reader_, conninfo_, timeout_, [this] { return not_now(); }, reader_failure_);
}

Result<std::vector<AuditEntry>> PostgresBackend::read_audit(const AuditQuery& query) {
    return read_with<std::vector<AuditEntry>>(reader(), reader_failure_, [&](auto& c) { return select_audit(c, query); });
}

Result<std::vector<HeldEffect>> PostgresBackend::read_held(std::size_t limit, std::uint64_t after,
                                                           std::string_view run_prefix) {
    return read_with<std::vector<HeldEffect>>(reader(), reader_failure_, [&](auto& c) {
        return select_held(c, limit, after, run_prefix);
    });
}

Result<std::optional<RunState>> PostgresBackend::read_run(std::string_view run_id) {
    return read_with<std::optional<RunState>>(reader(), reader_failure_, [&](auto& c) { return select_run(c, run_id); });
}

Result<std::uint64_t> PostgresBackend::read_pending_count() {
    return read_with<std::uint64_t>(reader(), reader_failure_, [](auto& c) { return count_pending(c); });
}

template <class T, class Read>
void PostgresBackend::read_later(ReadDone<T> done, Read read) {
    boost::asio::io_context& io = io_;
    auto job = [&io, done, read = std::move(read)](PgConnection* connection, const std::string& why_not) mutable {
        Result<T> got = read_with<T>(connection, why_not, read);
        boost::asio::post(io, [done = std::move(done), got = std::move(got)]() mutable { done(std::move(got)); });
    };
    if (!read_thread_.submit(std::move(job))) {
        boost::asio::post(io_, [done = std::move(done)] {
            done(read_failed<T>("too many reads waiting for the database"));
        });
    }
}

void PostgresBackend::async_read_held(std::size_t limit, std::uint64_t after, std::string run_prefix,
                                      ReadDone<std::vector<HeldEffect>> done) {
    read_later<std::vector<HeldEffect>>(std::move(done), [limit, after, prefix = std::move(run_prefix)](PgConnection& c) {
        return select_held(c, limit, after, prefix);
    });
}

void PostgresBackend::async_read_run(std::string run_id, ReadDone<std::optional<RunState>> done) {
    read_later<std::optional<RunState>>(std::move(done),
                                        [run_id = std::move(run_id)](PgConnection& c) { return select_run(c, run_id); });
}

void PostgresBackend::async_read_pending_count(ReadDone<std::uint64_t> done) {
    read_later<std::uint64_t>(std::move(done), [](PgConnection& c) { return count_pending(c); });
}

std::optional<std::string> PostgresBackend::announce(const ServerRules& rules) {
    ServerRules self = rules;
    self.server = server_id_;
    std::optional<StatementFailure> failed = announce_server(*connection_, self);
    if (!failed) return std::nullopt;
    if (!connection_->usable()) disconnect(failed->message);
    return failed->message;
}

void PostgresBackend::async_read_servers(ReadDone<std::vector<ServerRules>> done) {
    read_later<std::vector<ServerRules>>(std::move(done), [](PgConnection& c) { return select_live_servers(c); });
}

void PostgresBackend::close() {
    if (connection_ && connection_->usable()) forget_server(*connection_, server_id_);
}

void PostgresBackend::async_read_audit(AuditQuery query, ReadDone<std::vector<AuditEntry>> done) {
    read_later<std::vector<AuditEntry>>(std::move(done),
                                        [query = std::move(query)](PgConnection& c) { return select_audit(c, query); });
}

void PostgresBackend::async_read_grants(std::int64_t now_ms, ReadDone<std::vector<Grant>> done) {
    read_later<std::vector<Grant>>(std::move(done), [now_ms](PgConnection& c) -> Result<std::vector<Grant>> {
        const Statement statement = live_grants_statement(now_ms, {});
        Rows rows = c.run(statement.sql, statement.parameters);
        if (!rows.ok()) return Failure{rows.failure().message};
        return grants_from_rows(rows);
    });
}

}  // namespace latchwork::server
