// notify_delivery.h: the delivery thread: POSTs each target's notifications in order, retrying until delivered or too old.
//
// Runs on a thread and io_context of its own, so a receiver that is slow, down or
// failing never delays a reply or a commit on the network thread. It is handed one
// batch per target at a time and keeps the target's cursor (notify_cursors.h) through
// its own connection to the store; what happens is told back through `tell`, on
// the delivery thread (the caller posts it where it belongs).
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/notify/notify_target.h"
#include "server/notify/webhook_post.h"
#include "server/store/notify_cursors.h"
#include "support/secret_bytes.h"

namespace latchwork::server {

// One notification: the audit entry `seq` as its target's format writes it.
struct Outgoing {
    std::uint64_t seq = 0;
    std::int64_t at_ms = 0;  // when the entry was decided: its age counts from here
    std::string event;
    std::string run_id;
    std::string effect_key;
    std::string body;
};

// The notifications of entries after the target's cursor, up to and including
// `up_to` (entries in between report nothing this target wants).
struct DeliveryBatch {
    std::size_t target = 0;
    std::vector<Outgoing> items;
    std::uint64_t up_to = 0;
};

struct DeliveryNews {
    enum class Kind {
        claimed,         // the target is ours from `seq` on
        not_claimed,     // another server has it, or the store could not be asked (problem)
        delivered,       // item `seq` answered 2xx
        attempt_failed,  // one attempt failed (problem); it will be tried again
        dead,            // given up on, too old: `item` and the last problem
        batch_done,      // the batch is done, cursor at `seq`
        lost,            // the cursor could not be saved: the target must be claimed again
    };
    Kind kind = Kind::claimed;
    std::size_t target = 0;
    std::uint64_t seq = 0;
    std::string problem;
    Outgoing item;           // dead only (its body left out)
    unsigned attempts = 0;   // dead only
};

struct DeliverySettings {
    std::chrono::milliseconds max_age = std::chrono::hours(24);  // then a notification is dead
    std::chrono::milliseconds first_retry = std::chrono::seconds(1);
    std::chrono::milliseconds max_retry = std::chrono::minutes(5);
    PostLimits limits;
};

class NotifyDelivery {
public:
    using Tell = std::function<void(DeliveryNews)>;

    NotifyDelivery(std::vector<NotifyTarget> targets, SecretBytes key,
                   std::unique_ptr<boost::asio::ssl::context> tls, NotifyCursorsOpener open_cursors,
                   DeliverySettings settings, Tell tell);
    // Stops the thread; a notification in flight is tried again by the next server.
    ~NotifyDelivery();
    NotifyDelivery(const NotifyDelivery&) = delete;
    NotifyDelivery& operator=(const NotifyDelivery&) = delete;

    // Both may be called from any thread; each is answered through `tell`.
    void claim(std::size_t target, std::uint64_t start);
    void deliver(DeliveryBatch batch);

private:
    boost::asio::awaitable<void> run_batch(DeliveryBatch batch);
    // Until delivered (true) or too old (false); `attempts` and `problem` tell how it went.
    boost::asio::awaitable<bool> deliver_one(std::size_t target, const Outgoing& item,
                                             unsigned& attempts, std::string& problem);
    bool open_cursors(std::string& problem);
    // Renews the claims held, every NotifyCursors::kKeepEvery; a claim lost is told.
    boost::asio::awaitable<void> keep_claims();
    std::chrono::milliseconds backoff(unsigned failures);

    std::vector<NotifyTarget> targets_;
    SecretBytes key_;
    std::unique_ptr<boost::asio::ssl::context> tls_;
    NotifyCursorsOpener open_cursors_;
    DeliverySettings settings_;
    Tell tell_;
    // The delivery thread's own.
    std::unique_ptr<NotifyCursors> cursors_;
    std::set<std::size_t> held_;  // the targets claimed, until a claim is lost
    std::minstd_rand jitter_;
    // Last: destroyed first, so the coroutines it holds go before what they use.
    boost::asio::io_context io_{1};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::thread thread_;
};

}  // namespace latchwork::server
