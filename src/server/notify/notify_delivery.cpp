// notify_delivery.cpp: the delivery thread: POSTs each target's notifications in order, retrying until delivered or too old.
#include "server/notify/notify_delivery.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "server/core/audit_entry.h"
#include "server/notify/webhook_signature.h"

namespace latchwork::server {
namespace asio = boost::asio;

NotifyDelivery::NotifyDelivery(std::vector<NotifyTarget> targets, SecretBytes key,
                               std::unique_ptr<asio::ssl::context> tls,
                               NotifyCursorsOpener open_cursors, DeliverySettings settings, Tell tell)
    : targets_(std::move(targets)),
      key_(std::move(key)),
      tls_(std::move(tls)),
      open_cursors_(std::move(open_cursors)),
      settings_(settings),
      tell_(std::move(tell)),
      jitter_(std::random_device{}()),
      work_(io_.get_executor()),
      thread_([this] { io_.run(); }) {
    asio::co_spawn(io_, keep_claims(), asio::detached);
}

asio::awaitable<void> NotifyDelivery::keep_claims() {
    asio::steady_timer timer(io_);
    for (;;) {
        timer.expires_after(NotifyCursors::kKeepEvery);
        co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
        for (auto at = held_.begin(); at != held_.end();) {
            const std::size_t target = *at;
            std::string problem;
            if (open_cursors(problem)) {
                Result<std::monostate> kept = cursors_->keep(targets_[target].key);
                if (kept) {
                    ++at;
                    continue;
                }
                problem = "notification cursor: " + kept.error();
                cursors_.reset();
            }
            at = held_.erase(at);
            DeliveryNews news;
            news.kind = DeliveryNews::Kind::lost;
            news.target = target;
            news.problem = std::move(problem);
            tell_(std::move(news));
        }
    }
}

NotifyDelivery::~NotifyDelivery() {
    io_.stop();
    thread_.join();
}

bool NotifyDelivery::open_cursors(std::string& problem) {
    if (cursors_) return true;
    Result<std::unique_ptr<NotifyCursors>> opened = open_cursors_();
    if (!opened) {
        problem = "notification cursors: " + opened.error();
        return false;
    }
    cursors_ = std::move(opened).value();
    return true;
}

void NotifyDelivery::claim(std::size_t target, std::uint64_t start) {
    asio::post(io_, [this, target, start] {
        DeliveryNews news;
        news.target = target;
        news.kind = DeliveryNews::Kind::not_claimed;
        if (open_cursors(news.problem)) {
            Result<std::optional<std::uint64_t>> claimed = cursors_->claim(targets_[target].key, start);
            if (!claimed) {
                news.problem = "notification cursor: " + claimed.error();
                cursors_.reset();  // opened afresh on the next claim
            } else if (claimed.value()) {
                news.kind = DeliveryNews::Kind::claimed;
                news.seq = *claimed.value();
                held_.insert(target);
            }
        }
        tell_(std::move(news));
    });
}

void NotifyDelivery::deliver(DeliveryBatch batch) {
    asio::co_spawn(io_, run_batch(std::move(batch)), asio::detached);
}

std::chrono::milliseconds NotifyDelivery::backoff(unsigned failures) {
    // Doubling from the first retry up to the cap, then a random point in its upper
    // half, so that receivers coming back are not met by every gate at once.
    std::chrono::milliseconds ceiling = settings_.first_retry;
    for (unsigned i = 1; i < failures && ceiling < settings_.max_retry; ++i) ceiling *= 2;
    ceiling = std::min(ceiling, settings_.max_retry);
    std::uniform_int_distribution<std::int64_t> spread(ceiling.count() / 2, ceiling.count());
    return std::chrono::milliseconds(spread(jitter_));
}

asio::awaitable<bool> NotifyDelivery::deliver_one(std::size_t index, const Outgoing& item,
                                                  unsigned& attempts, std::string& problem) {
    const NotifyTarget& target = targets_[index];
    const std::string id = "msg_" + target.key.substr(0, 16) + "_" + std::to_string(item.seq);
    const std::int64_t give_up_ms = item.at_ms + settings_.max_age.count();
    for (;;) {
        const std::int64_t now_ms = unix_time_ms();
        const std::int64_t now_s = now_ms / 1000;
        std::vector<std::pair<std::string, std::string>> headers{
            {"webhook-id", id},
            {"webhook-timestamp", std::to_string(now_s)},
            {"webhook-signature", webhook_signature(key_.view(), id, now_s, item.body)},
        };
        ++attempts;
        PostOutcome outcome = co_await post_notification(target, *tls_, headers, item.body, settings_.limits);
        if (outcome.delivered) co_return true;
        problem = std::move(outcome.problem);
        const std::chrono::milliseconds wait = backoff(attempts);
        // Always tried once; not again when the next try would come too late.
        if (unix_time_ms() + wait.count() > give_up_ms) co_return false;
        DeliveryNews news;
        news.kind = DeliveryNews::Kind::attempt_failed;
        news.target = index;
        news.seq = item.seq;
        news.problem = problem;
        tell_(std::move(news));
        asio::steady_timer timer(io_, wait);
        co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    }
}

asio::awaitable<void> NotifyDelivery::run_batch(DeliveryBatch batch) {
    const NotifyTarget& target = targets_[batch.target];
    const auto save = [&](std::uint64_t seq) {
        std::string problem;
        if (open_cursors(problem)) {
            Result<std::monostate> saved = cursors_->save(target.key, seq);
            if (saved) return true;
            problem = "notification cursor: " + saved.error();
            cursors_.reset();
        }
        held_.erase(batch.target);
        DeliveryNews news;
        news.kind = DeliveryNews::Kind::lost;
        news.target = batch.target;
        news.problem = std::move(problem);
        tell_(std::move(news));
        return false;
    };
    for (Outgoing& item : batch.items) {
        unsigned attempts = 0;
        std::string problem;
        const bool delivered = co_await deliver_one(batch.target, item, attempts, problem);
        if (!save(item.seq)) co_return;
        DeliveryNews news;
        news.target = batch.target;
        news.seq = item.seq;
        if (delivered) {
            news.kind = DeliveryNews::Kind::delivered;
        } else {
            news.kind = DeliveryNews::Kind::dead;
            news.problem = std::move(problem);
            news.attempts = attempts;
            item.body.clear();
            news.item = std::move(item);
        }
        tell_(std::move(news));
    }
    if (!save(batch.up_to)) co_return;
    DeliveryNews done;
    done.kind = DeliveryNews::Kind::batch_done;
    done.target = batch.target;
    done.seq = batch.up_to;
    tell_(std::move(done));
}

}  // namespace latchwork::server
