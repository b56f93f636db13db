// postgres_store.cpp: the store several servers share, a PostgreSQL database.
#include "server/store/postgres/postgres_store.h"

#include "server/store/postgres/pg_audit_prune.h"

#include <boost/asio/post.hpp>

#include <algorithm>

#include "server/core/audit_entry.h"
#include "server/core/diagnostics.h"
#include "server/store/postgres/pg_reads.h"
#include "server/store/postgres/pg_schema.h"
#include "server/store/postgres/pg_server_id.h"

namespace latchwork::server {
namespace {

// How often the held effects are looked at for a passed deadline.
constexpr std::int64_t kExpiryIntervalMs = 250;
// The most expired at once, in one batch.
constexpr std::size_t kExpiryBatch = 1000;

std::string failed_message(std::string_view why) { return "store failed: " + std::string(why); }

template <class T>
Result<T> read_failed(const std::string& why) {
    return Failure{failed_message(why)};
}

}  // namespace

Result<std::unique_ptr<PostgresStore>> PostgresStore::open(const std::string& conninfo,
                                                          boost::asio::io_context& io,
                                                          AuditBounds bounds,
                                                          std::chrono::milliseconds timeout) {
    Result<PgConnection> connected = PgConnection::open(conninfo, timeout);
    if (!connected) return Failure{"cannot connect: " + connected.error()};
    if (Result<std::monostate> checked = check_schema(connected.value()); !checked) {
        return std::move(checked).take_failure();
    }
    return std::unique_ptr<PostgresStore>(
        new PostgresStore(conninfo, std::move(connected).value(), io, bounds, timeout));
}

PostgresStore::PostgresStore(std::string conninfo, PgConnection connection,
                             boost::asio::io_context& io, AuditBounds bounds,
                             std::chrono::milliseconds timeout)
    : io_(io),
      conninfo_(std::move(conninfo)),
      timeout_(timeout),
      server_id_(random_server_id()),
      connection_(std::move(connection)),
      pruning_(bounds.retention),
      read_thread_(conninfo_, timeout, [this]() -> std::optional<std::string> {
          if (!away_) return std::nullopt;
          const std::lock_guard lock(away_mutex_);
          return away_reason_;
      }) {}

PostgresStore::~PostgresStore() {
    // Every thread is told first, so that their last calls to the database, each
    // bounded by the timeout, run side by side rather than one after another.
    stopping_ = true;
    read_thread_.request_stop();
    if (change_listener_) change_listener_->request_stop();
    batcher_.stop();
}

Result<std::monostate> PostgresStore::load() {
    // What expired while no server ran is rejected before this one answers anything;
    // nobody watches yet, so nothing is told.
    std::vector<BatchItem> sweep(1);
    sweep.front().sweep = true;
    expand_sweeps(sweep);
    if (!sweep.empty()) (void)serve_batch(sweep);
    if (!connection_) return Failure{outage_};
    batcher_.start({[this](std::uint64_t number, Batch& batch) { commit(number, batch); },
                    [this] { return upkeep_due(); }, [this] { upkeep(); },
                    {}});  // every commit is a round trip: never on the network thread
    change_listener_.emplace(conninfo_, server_id_, timeout_, io_,
                             [this](std::vector<AuditEntry> entries, bool missed) {
                                 heard(std::move(entries), missed);
                             });
    change_listener_->start();
    return std::monostate{};
}

Answer PostgresStore::answer(const Request& request, const DecisionSource& source) {
    auto reply = std::make_shared<Reply>();
    last_recorded_ = batcher_.add([&](Batch& open) {
        open.items.push_back(BatchItem{
            BatchRequest{request,
                                   {source.door, std::string(source.who), source.mac_verified,
                                    std::string(source.reason)},
                                   {}, {}, {}, {}},
            reply});
    });
    return Answer{std::move(reply), last_recorded_};
}

std::optional<std::int64_t> PostgresStore::next_expiry_check() const {
    return unix_time_ms() + kExpiryIntervalMs;
}

std::size_t PostgresStore::expire_due(std::int64_t) {
    // One sweep at a time: a second would find the same holds.
    if (sweep_batch_ == 0) {
        sweep_batch_ = batcher_.add([](Batch& open) { open.items.push_back(BatchItem{{}, nullptr, true}); });
    }
    return 0;
}

void PostgresStore::expand_sweeps(std::vector<BatchItem>& items) {
    const auto sweep = std::find_if(items.begin(), items.end(), [](const BatchItem& w) { return w.sweep; });
    if (sweep == items.end()) return;
    items.erase(std::remove_if(items.begin(), items.end(), [](const BatchItem& w) { return w.sweep; }),
                items.end());
    if (!connection_) return;
    Result<std::vector<std::pair<std::string, std::string>>> due =
        select_due(*connection_, unix_time_ms(), kExpiryBatch);
    if (!due && !connection_->usable()) {
        // Found out between batches: the next request need not be the one to learn it.
        lost_connection(due.error());
        return;
    }
    if (!due) return;
    for (auto& [run_id, effect_key] : due.value()) {
        BatchItem expiry;
        expiry.item.request.op = Operation::decide;
        expiry.item.request.run_id = std::move(run_id);
        expiry.item.request.effect_key = std::move(effect_key);
        expiry.item.request.flag = false;
        expiry.item.source.door = DecisionSource::Door::expiry;
        items.push_back(std::move(expiry));
    }
}

void PostgresStore::commit(std::uint64_t number, Batch& batch) {
    using Clock = Batcher<Batch>::Clock;
    const Clock::time_point started = Clock::now();
    commit_started_ns_ = std::max<std::int64_t>(1, started.time_since_epoch().count());
    expand_sweeps(batch.items);
    std::optional<std::string> failed;
    if (!batch.items.empty()) failed = serve_batch(batch.items);
    commit_started_ns_ = 0;
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    boost::asio::post(io_, [this, number, failed = std::move(failed), seconds,
                            done = std::move(batch.items)]() mutable {
        finished(number, std::move(done), std::move(failed), seconds);
    });
}

std::optional<std::string> PostgresStore::serve_batch(std::vector<BatchItem>& batch) {
    if (!connection_) try_reconnect();
    std::optional<StatementFailure> failed;
    std::vector<BatchRequest> items;
    items.reserve(batch.size());
    for (BatchItem& waiting : batch) items.push_back(std::move(waiting.item));
    // A connection the database dropped while idle (a restart, an idle timeout) fails
    // the batch before anything of it could commit: one fresh connection tries again.
    for (int attempt = 0; attempt < 2 && connection_; ++attempt) {
        const DecisionClock clock{unix_time_ms(), hold_timeout_ms_.load()};
        failed = decide_batch(*connection_, items, clock, server_id_);
        if (!failed) break;
        if (failed->kind != FailureKind::connection && connection_->usable()) break;
        lost_connection(failed->message);
        // A database that did not answer in time is not asked again for this batch:
        // its clients have waited the whole timeout already.
        if (failed->may_have_committed || failed->timed_out) break;
        try_reconnect();
    }
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].item = std::move(items[i]);
    if (connection_ && !failed) return std::nullopt;
    std::string message = failed_message(failed ? failed->message : outage_);
    const Reply refused = refusal(message);
    for (BatchItem& waiting : batch) waiting.item.reply = refused;
    return message;
}

void PostgresStore::lost_connection(const std::string& why) {
    diagnose("store connection lost: " + why + "; reconnecting");
    connection_.reset();
    outage_ = why;
    mark_away(true);
    backoff_.reset();
    next_attempt_ = Batcher<Batch>::Clock::now();
}

std::optional<std::string> PostgresStore::stalled() const {
    const std::int64_t started = commit_started_ns_;
    if (started == 0 || timeout_.count() <= 0) return std::nullopt;
    const auto waited = Batcher<Batch>::Clock::now().time_since_epoch() - Batcher<Batch>::Clock::duration(started);
    if (waited <= timeout_) return std::nullopt;
    return "a commit has waited " +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()) +
           " ms for the database";
}

std::optional<std::string> PostgresStore::outage() const {
    if (!away_) return std::nullopt;
    const std::lock_guard lock(away_mutex_);
    return failed_message(away_reason_);
}

void PostgresStore::mark_away(bool away) {
    {
        const std::lock_guard lock(away_mutex_);
        away_reason_ = away ? outage_ : std::string();
    }
    away_ = away;
}

std::optional<Batcher<PostgresStore::Batch>::Clock::time_point> PostgresStore::reconnect_due() const {
    // Away: keep trying, so the server is ready before the next request.
    if (connection_) return std::nullopt;
    return next_attempt_;
}

std::optional<Batcher<PostgresStore::Batch>::Clock::time_point> PostgresStore::upkeep_due() const {
    if (!connection_) return reconnect_due();
    return pruning_.due();
}

void PostgresStore::upkeep() {
    if (!connection_) {
        try_reconnect();
        return;
    }
    const auto now = Batcher<Batch>::Clock::now();
    if (!pruning_.is_due(now)) return;
    // Between batches, a few milliseconds; a failure is said and tried again later:
    // the next batch finds out for itself whether the connection still serves.
    Result<std::uint64_t> pruned = prune_audit_step(*connection_, pruning_.retention(), AuditPruning::kSlice);
    if (!pruned) diagnose("pruning the audit log failed: " + pruned.error());
    pruning_.stepped(now, pruned ? pruned.value() : 0);
}

void PostgresStore::try_reconnect() {
    const auto now = Batcher<Batch>::Clock::now();
    if (now < next_attempt_ || stopping_) return;
    Result<PgConnection> connected = PgConnection::open(conninfo_, timeout_);
    if (connected) {
        // A database swapped for one at another schema must not be written to.
        if (Result<std::monostate> checked = check_schema(connected.value()); !checked) {
            outage_ = checked.error();
        } else {
            connection_ = std::move(connected).value();
            mark_away(false);
            diagnose("store connection restored");
            return;
        }
    } else {
        outage_ = connected.error();
    }
    next_attempt_ = Batcher<Batch>::Clock::now() + backoff_.failed();
}

void PostgresStore::finished(std::uint64_t number, std::vector<BatchItem> batch,
                             std::optional<std::string> failed, double seconds) {
    if (!failed && !batch.empty()) commit_latency_.observe(seconds);
    if (number >= sweep_batch_) sweep_batch_ = 0;
    for (BatchItem& waiting : batch) {
        if (!failed && decided_listener_) {
            const BatchRequest& item = waiting.item;
            decided_listener_(Decision{&item.request, verdict_text(item.reply.verdict), item.changes,
                                       item.source.view(), number, item.at_ms, item.deadline_ms});
        }
        // A failed batch's replies are its failure, put there by serve_batch().
        if (waiting.reply) *waiting.reply = std::move(waiting.item.reply);
    }
    durable_ = number;
    if (listener_) listener_();
}

void PostgresStore::heard(std::vector<AuditEntry> entries, bool missed) {
    if (!decided_listener_) return;
    // Nothing of it waits for a batch here: it is committed already. Who decided, and
    // why, is what the committed entry says.
    for (const AuditEntry& entry : entries) {
        const std::optional<HeardChange> heard = heard_change(entry);
        if (!heard) continue;
        decided_listener_(Decision{&heard->request, entry.verdict, std::span<const StateChange>(&heard->change, 1),
                                   heard->source, 0, entry.at_ms, entry.deadline_ms, true});
    }
    if (missed) {
        decided_listener_(Decision{nullptr, "resync", {}, DecisionSource{}, 0, unix_time_ms(), 0, true});
    }
}

PgConnection* PostgresStore::reader() {
    // While the batcher cannot reach the database, or waits on it past the timeout,
    // a read would only wait for the same failure, here on the network thread.
    return kept_or_opened(reader_, conninfo_, timeout_, [this]() -> std::optional<std::string> {
        if (away_) {
            const std::lock_guard lock(away_mutex_);
            return away_reason_;
        }
        return stalled();
    }, reader_failure_);
}

namespace {

// A read on the reader connection, its failure said as the store says it.
template <class T, class Read>
Result<T> read_with(PgConnection* connection, const std::string& unreachable, Read read) {
    if (connection == nullptr) return read_failed<T>(unreachable);
    Result<T> got = read(*connection);
    if (!got) return read_failed<T>(got.error());
    return got;
}

}  // namespace

Result<std::vector<AuditEntry>> PostgresStore::read_audit(const AuditQuery& query) {
    PgConnection* connection = reader();
    return read_with<std::vector<AuditEntry>>(connection, reader_failure_, [&](auto& c) {
        return select_audit(c, query);
    });
}

Result<std::vector<HeldEffect>> PostgresStore::read_held(std::size_t limit, std::uint64_t after,
                                                         std::string_view run_prefix) {
    PgConnection* connection = reader();
    return read_with<std::vector<HeldEffect>>(connection, reader_failure_, [&](auto& c) {
        return select_held(c, limit, after, run_prefix);
    });
}

Result<std::optional<RunState>> PostgresStore::read_run(std::string_view run_id) {
    PgConnection* connection = reader();
    return read_with<std::optional<RunState>>(connection, reader_failure_, [&](auto& c) {
        return select_run(c, run_id);
    });
}

Result<std::uint64_t> PostgresStore::read_pending_count() {
    PgConnection* connection = reader();
    return read_with<std::uint64_t>(connection, reader_failure_, [&](auto& c) {
        return count_pending(c);
    });
}

template <class T, class Read>
void PostgresStore::read_later(ReadDone<T> done, Read read) {
    boost::asio::io_context& io = io_;
    auto job = [&io, done, read = std::move(read)](PgConnection* connection,
                                                   const std::string& why_not) mutable {
        Result<T> got = read_with<T>(connection, why_not, read);
        boost::asio::post(io, [done = std::move(done), got = std::move(got)]() mutable {
            done(std::move(got));
        });
    };
    if (!read_thread_.submit(std::move(job))) {
        boost::asio::post(io_, [done = std::move(done)] {
            done(read_failed<T>("too many reads waiting for the database"));
        });
    }
}

void PostgresStore::async_read_held(std::size_t limit, std::uint64_t after, std::string run_prefix,
                                    ReadDone<std::vector<HeldEffect>> done) {
    read_later<std::vector<HeldEffect>>(std::move(done), [limit, after, prefix = std::move(run_prefix)](
                                                             PgConnection& c) {
        return select_held(c, limit, after, prefix);
    });
}

void PostgresStore::async_read_run(std::string run_id, ReadDone<std::optional<RunState>> done) {
    read_later<std::optional<RunState>>(std::move(done), [run_id = std::move(run_id)](PgConnection& c) {
        return select_run(c, run_id);
    });
}

void PostgresStore::async_read_pending_count(ReadDone<std::uint64_t> done) {
    read_later<std::uint64_t>(std::move(done), [](PgConnection& c) { return count_pending(c); });
}

void PostgresStore::async_read_audit(AuditQuery query, ReadDone<std::vector<AuditEntry>> done) {
    read_later<std::vector<AuditEntry>>(std::move(done), [query = std::move(query)](PgConnection& c) {
        return select_audit(c, query);
    });
}

}  // namespace latchwork::server
