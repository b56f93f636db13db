// postgres_store.cpp: the store several servers share, a PostgreSQL database.
#include "server/store/postgres/postgres_store.h"

#include <boost/asio/post.hpp>

#include <algorithm>

#include "server/core/audit_entry.h"
#include "server/core/diagnostics.h"
#include "server/store/postgres/pg_reads.h"
#include "server/store/postgres/pg_schema.h"
#include "server/core/reply_writer.h"

namespace latchwork::server {
namespace {

// Reconnection attempts start at once and back off to one every two seconds.
constexpr std::chrono::milliseconds kFirstPause{50};
constexpr std::chrono::milliseconds kLongestPause{2000};
// How often the held effects are looked at for a passed deadline.
constexpr std::chrono::milliseconds kExpiryInterval{250};
// The most expired at once, in one batch.
constexpr std::size_t kExpiryBatch = 1000;
// The longest a batch waits to fill up, whatever a transaction costs.
constexpr auto kLongestGather = std::chrono::milliseconds(1);

std::string failed_message(std::string_view why) { return "store failed: " + std::string(why); }

template <class T>
Result<T> read_failed(const std::string& why) {
    return Failure{failed_message(why)};
}

}  // namespace

Result<std::unique_ptr<PostgresStore>> PostgresStore::open(const std::string& conninfo,
                                                          boost::asio::io_context& io) {
    Result<postgres::PgConnection> connected = postgres::PgConnection::open(conninfo);
    if (!connected) return Failure{"cannot connect: " + connected.error()};
    if (Result<std::monostate> checked = postgres::check_schema(connected.value()); !checked) {
        return std::move(checked).take_failure();
    }
    return std::unique_ptr<PostgresStore>(
        new PostgresStore(conninfo, std::move(connected).value(), io));
}

PostgresStore::PostgresStore(std::string conninfo, postgres::PgConnection connection,
                             boost::asio::io_context& io)
    : io_(io), conninfo_(std::move(conninfo)), connection_(std::move(connection)) {}

PostgresStore::~PostgresStore() {
    if (!worker_.joinable()) return;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

Result<std::monostate> PostgresStore::load(RunLedger&) {
    // What expired while no server ran is rejected before this one answers anything.
    expire_due();
    if (!connection_) return Failure{outage_};
    worker_ = std::thread([this] { serve_loop(); });
    return std::monostate{};
}

void PostgresStore::expire_due() {
    next_expiry_ = std::chrono::steady_clock::now() + kExpiryInterval;
    if (!connection_) return;
    Result<std::vector<std::pair<std::string, std::string>>> due =
        postgres::read_due(*connection_, unix_time_ms(), kExpiryBatch);
    if (!due && !connection_->usable()) {
        // Found out between batches: the next request need not be the one to learn it.
        lost_connection(due.error());
        return;
    }
    if (!due || due.value().empty()) return;
    std::vector<Waiting> batch;
    for (auto& [run_id, effect_key] : due.value()) {
        Request request;
        request.op = Operation::decide;
        request.run_id = std::move(run_id);
        request.effect_key = std::move(effect_key);
        request.flag = false;
        postgres::BatchSource source;
        source.door = DecisionSource::Door::expiry;
        batch.push_back(Waiting{postgres::BatchRequest{std::move(request), std::move(source), {}, {}, {}},
                                nullptr});
    }
    if (!serve_batch(batch) || !worker_.joinable()) return;
    // Its events reach the console like those of any batch; nobody waits for a reply.
    boost::asio::post(io_, [this, done = std::move(batch)]() mutable {
        finished(0, std::move(done), true, -1);
    });
}

std::uint64_t PostgresStore::take_request(const Request& request, const DecisionSource& source,
                                          std::shared_ptr<DeferredReply> reply) {
    postgres::BatchSource copied{source.door, std::string(source.who), source.mac_verified,
                                 std::string(source.reason)};
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        wake = open_.empty() || (gather_target_ != 0 && open_.size() + 1 == gather_target_);
        open_.push_back(Waiting{postgres::BatchRequest{request, std::move(copied), {}, {}, {}},
                                std::move(reply)});
        last_recorded_ = open_number_;
    }
    if (wake) wake_.notify_one();
    return last_recorded_;
}

void PostgresStore::serve_loop() {
    using Clock = std::chrono::steady_clock;
    std::vector<Waiting> batch;
    std::size_t last_requests = 0;   // in the batch served last
    Clock::duration last_took{};     // what serving it took
    std::unique_lock lock(mutex_);
    for (;;) {
        if (connection_ && Clock::now() >= next_expiry_) {
            // Due also under a load that never lets the thread idle.
            lock.unlock();
            expire_due();
            lock.lock();
            continue;
        }
        if (open_.empty()) {
            // What was taken before a stop is still decided; nothing new comes after.
            if (stopping_) return;
            auto has_work = [this] { return !open_.empty() || stopping_; };
            if (connection_) {
                wake_.wait_until(lock, next_expiry_, has_work);
            } else {
                // Away: keep trying, so the server is ready before the next request.
                wake_.wait_until(lock, next_attempt_, has_work);
                if (open_.empty() && !stopping_) {
                    lock.unlock();
                    try_reconnect();
                    lock.lock();
                }
            }
            continue;
        }
        if (last_requests > 1 && open_.size() < last_requests && connection_ && !stopping_) {
            // The clients of the last batch are sending their next requests: a short
            // wait lets them share one transaction instead of splitting over two.
            const Clock::duration window = std::min<Clock::duration>(last_took / 2, kLongestGather);
            gather_target_ = last_requests;
            wake_.wait_for(lock, window, [this] { return open_.size() >= gather_target_ || stopping_; });
            gather_target_ = 0;
        }
        batch.swap(open_);
        last_requests = batch.size();
        const std::uint64_t number = open_number_++;
        lock.unlock();
        const Clock::time_point started = Clock::now();
        const bool decided = serve_batch(batch);
        last_took = Clock::now() - started;
        const double seconds = std::chrono::duration<double>(last_took).count();
        boost::asio::post(io_, [this, number, decided, seconds, done = std::move(batch)]() mutable {
            finished(number, std::move(done), decided, seconds);
        });
        batch = {};
        lock.lock();
    }
}

bool PostgresStore::serve_batch(std::vector<Waiting>& batch) {
    if (!connection_) try_reconnect();
    std::optional<postgres::StatementFailure> failed;
    std::vector<postgres::BatchRequest> items;
    items.reserve(batch.size());
    for (Waiting& waiting : batch) items.push_back(std::move(waiting.item));
    // A connection the database dropped while idle (a restart, an idle timeout) fails
    // the batch before anything of it could commit: one fresh connection tries again.
    for (int attempt = 0; attempt < 2 && connection_; ++attempt) {
        const DecisionClock clock{unix_time_ms(), hold_timeout_ms_.load()};
        failed = postgres::decide_batch(*connection_, items, clock);
        if (!failed) break;
        if (failed->kind != postgres::FailureKind::connection && connection_->usable()) break;
        lost_connection(failed->message);
        if (failed->may_have_committed) break;
        try_reconnect();
    }
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].item = std::move(items[i]);
    if (connection_ && !failed) return true;
    const std::string reply = error_reply(failed_message(failed ? failed->message : outage_));
    for (Waiting& waiting : batch) waiting.item.reply = reply;
    return false;
}

void PostgresStore::lost_connection(const std::string& why) {
    diagnose("store connection lost: " + why + "; reconnecting");
    connection_.reset();
    outage_ = why;
    mark_away(true);
    pause_ = std::chrono::milliseconds(0);
    next_attempt_ = std::chrono::steady_clock::now();
}

std::optional<std::string> PostgresStore::outage() const {
    if (!away_) return std::nullopt;
    const std::lock_guard lock(mutex_);
    return failed_message(away_reason_);
}

void PostgresStore::mark_away(bool away) {
    {
        const std::lock_guard lock(mutex_);
        away_reason_ = away ? outage_ : std::string();
    }
    away_ = away;
}

void PostgresStore::try_reconnect() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_attempt_) return;
    Result<postgres::PgConnection> connected = postgres::PgConnection::open(conninfo_);
    if (connected) {
        // A database swapped for one at another schema must not be written to.
        if (Result<std::monostate> checked = postgres::check_schema(connected.value()); !checked) {
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
    pause_ = std::clamp(pause_ * 2, kFirstPause, kLongestPause);
    next_attempt_ = std::chrono::steady_clock::now() + pause_;
}

void PostgresStore::finished(std::uint64_t number, std::vector<Waiting> batch, bool decided,
                             double seconds) {
    if (decided && seconds >= 0) commit_latency_.observe(seconds);
    for (Waiting& waiting : batch) {
        if (decided && decided_listener_) {
            const postgres::BatchRequest& item = waiting.item;
            decided_listener_(Decision{item.request, item.verdict, item.changes, item.source.view(),
                                       number, item.at_ms, item.deadline_ms});
        }
        if (waiting.reply) waiting.reply->line = std::move(waiting.item.reply);
    }
    if (number == 0) return;  // expiry: no reply waits for it
    durable_ = number;
    if (listener_) listener_();
}

postgres::PgConnection* PostgresStore::reader() {
    if (reader_ && reader_->usable()) return &*reader_;
    reader_.reset();
    // While the store thread cannot reach the database, a read would only wait for
    // the same failure.
    if (away_) {
        const std::lock_guard lock(mutex_);
        reader_failure_ = away_reason_;
        return nullptr;
    }
    Result<postgres::PgConnection> connected = postgres::PgConnection::open(conninfo_);
    if (!connected) {
        reader_failure_ = connected.error();
        return nullptr;
    }
    reader_ = std::move(connected).value();
    return &*reader_;
}

Result<std::vector<AuditEntry>> PostgresStore::read_audit(const AuditQuery& query) {
    postgres::PgConnection* connection = reader();
    if (connection == nullptr) return read_failed<std::vector<AuditEntry>>(reader_failure_);
    Result<std::vector<AuditEntry>> read = postgres::read_audit(*connection, query);
    if (!read) return read_failed<std::vector<AuditEntry>>(read.error());
    return read;
}

Result<std::vector<HeldEffect>> PostgresStore::read_held(std::size_t limit, std::uint64_t after,
                                                         std::string_view run_prefix) {
    postgres::PgConnection* connection = reader();
    if (connection == nullptr) return read_failed<std::vector<HeldEffect>>(reader_failure_);
    Result<std::vector<HeldEffect>> read = postgres::read_held(*connection, limit, after, run_prefix);
    if (!read) return read_failed<std::vector<HeldEffect>>(read.error());
    return read;
}

Result<std::optional<RunState>> PostgresStore::read_run(std::string_view run_id) {
    postgres::PgConnection* connection = reader();
    if (connection == nullptr) return read_failed<std::optional<RunState>>(reader_failure_);
    Result<std::optional<RunState>> read = postgres::read_run(*connection, run_id);
    if (!read) return read_failed<std::optional<RunState>>(read.error());
    return read;
}

Result<std::uint64_t> PostgresStore::read_pending_count() {
    postgres::PgConnection* connection = reader();
    if (connection == nullptr) return read_failed<std::uint64_t>(reader_failure_);
    Result<std::uint64_t> read = postgres::read_pending_count(*connection);
    if (!read) return read_failed<std::uint64_t>(read.error());
    return read;
}

}  // namespace latchwork::server
