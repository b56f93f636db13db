// postgres_store.cpp: the store several servers share, a PostgreSQL database.
#include "server/postgres_store.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <iostream>

#include "server/postgres/pg_schema.h"
#include "server/reply_writer.h"

namespace latchwork::server {
namespace {

// Reconnection attempts start at once and back off to one every two seconds.
constexpr std::chrono::milliseconds kFirstPause{50};
constexpr std::chrono::milliseconds kLongestPause{2000};
// The longest a batch waits to fill up, whatever a transaction costs.
constexpr auto kLongestGather = std::chrono::milliseconds(1);

std::string failed_message(std::string_view why) { return "store failed: " + std::string(why); }

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
    worker_ = std::thread([this] { serve_loop(); });
    return std::monostate{};
}

std::uint64_t PostgresStore::take_request(const Request& request,
                                          std::shared_ptr<DeferredReply> reply) {
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        wake = open_.empty() || (gather_target_ != 0 && open_.size() + 1 == gather_target_);
        open_.push_back(Waiting{postgres::BatchRequest{request, {}}, std::move(reply)});
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
        if (open_.empty()) {
            // What was taken before a stop is still decided; nothing new comes after.
            if (stopping_) return;
            auto has_work = [this] { return !open_.empty() || stopping_; };
            if (connection_) {
                wake_.wait(lock, has_work);
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
        serve_batch(batch);
        last_took = Clock::now() - started;
        // The replies are written before the number is posted: the post orders them
        // before the network thread reads them.
        for (Waiting& waiting : batch) waiting.reply->line = std::move(waiting.item.reply);
        batch.clear();
        boost::asio::post(io_, [this, number] { finished(number); });
        lock.lock();
    }
}

void PostgresStore::serve_batch(std::vector<Waiting>& batch) {
    if (!connection_) try_reconnect();
    std::optional<postgres::StatementFailure> failed;
    std::vector<postgres::BatchRequest> items;
    items.reserve(batch.size());
    for (Waiting& waiting : batch) items.push_back(std::move(waiting.item));
    // A connection the database dropped while idle (a restart, an idle timeout) fails
    // the batch before anything of it could commit: one fresh connection tries again.
    for (int attempt = 0; attempt < 2 && connection_; ++attempt) {
        failed = postgres::decide_batch(*connection_, items);
        if (!failed) break;
        if (failed->kind != postgres::FailureKind::connection && connection_->usable()) break;
        std::cerr << "latchwork-gate: store connection lost: " << failed->message
                  << "; reconnecting" << std::endl;
        connection_.reset();
        outage_ = failed->message;
        pause_ = std::chrono::milliseconds(0);
        next_attempt_ = std::chrono::steady_clock::now();
        if (failed->may_have_committed) break;
        try_reconnect();
    }
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].item = std::move(items[i]);
    if (!connection_ || failed) {
        const std::string reply = error_reply(failed_message(failed ? failed->message : outage_));
        for (Waiting& waiting : batch) waiting.item.reply = reply;
    }
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
            std::cerr << "latchwork-gate: store connection restored" << std::endl;
            return;
        }
    } else {
        outage_ = connected.error();
    }
    pause_ = std::clamp(pause_ * 2, kFirstPause, kLongestPause);
    next_attempt_ = std::chrono::steady_clock::now() + pause_;
}

void PostgresStore::finished(std::uint64_t batch) {
    durable_ = batch;
    if (listener_) listener_();
}

}  // namespace latchwork::server
