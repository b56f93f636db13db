// notifier.h: tells the --notify targets of every change, reading the store's audit log after each target's cursor.
//
// The audit log is the durable queue: an entry is committed with the change it
// reports, so a notification can neither be lost by a crash nor tell of a change that
// was never committed. Each target has a cursor, the seq it was told up to, kept by
// the store; it moves only once a receiver answered 2xx, or the entry was given up on.
// On the network thread: the store's reads are made here (they are the network
// thread's), the POSTs on the delivery thread (notify_delivery.h).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "server/notify/notify_delivery.h"
#include "server/notify/notify_target.h"
#include "server/notify/webhook_event.h"
#include "server/store/audit_follower.h"
#include "server/store/request_handler.h"
#include "server/store/store.h"

namespace latchwork::server {

struct NotifySettings {
    std::vector<NotifyTarget> targets;
    WebhookEvents events = kAllWebhookEvents;
    std::string console_url;  // the console's public base, for links; empty: none
    // Chat messages of held effects carry Approve and Reject buttons (the console takes
    // their clicks at /chat/actions).
    bool chat_buttons = false;
    DeliverySettings delivery;
    std::chrono::milliseconds poll = std::chrono::seconds(1);  // for what other servers commit
    std::size_t batch = 32;        // entries read, and handed over, at once per target
    std::size_t max_dead = 256;    // dead notifications listed; the oldest go first
    // How each target follows the audit log: how long a missing seq holds back what
    // follows, and how long one passed over is looked for (audit_follower.h).
    FollowSettings follow;
};

class Notifier final : public RequestObserver {
public:
    Notifier(boost::asio::io_context& io, RequestHandler& handler, Store& store,
             NotifySettings settings, SecretBytes key,
             std::unique_ptr<boost::asio::ssl::context> tls, NotifyCursorsOpener open_cursors);
    ~Notifier() override;
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    void start();
    void stop();  // the server stops: no more reads, nothing more handed over

    void handled(const Decision& decision) override;

    // Prometheus lines for /metrics, and the JSON of /api/notifications.
    std::string metrics_text() const;
    std::string status_json() const;

private:
    struct TargetState {
        TargetState(Store& store, const FollowSettings& follow) : follower(store, follow) {}

        // Where the next batch is read: at the cursor once the batch before is done.
        AuditFollower follower;
        // The late entries of the batch with the delivery thread, not yet told done:
        // looked for again should the batch be lost.
        std::vector<std::uint64_t> late_out;
        bool claimed = false;
        bool claiming = false;
        bool busy = false;  // a batch is with the delivery thread
        std::uint64_t cursor = 0;
        std::uint64_t delivered = 0;
        std::uint64_t failed_attempts = 0;
        std::uint64_t dead = 0;
        std::string last_problem;
    };
    struct DeadNote {
        std::size_t target;
        Outgoing item;
        unsigned attempts;
        std::string problem;
    };

    bool find_start();
    void poll();
    void check_soon();
    void pump();
    void read_for(std::size_t index);
    // What a read for the target found, made into a delivery.
    void deliver_read(std::size_t index, Result<AuditFollower::Read> read);
    void heard(DeliveryNews news);

    boost::asio::io_context& io_;
    RequestHandler& handler_;
    Store& store_;
    NotifySettings settings_;
    std::uint64_t start_seq_ = 0;  // where a target never seen starts
    bool start_known_ = false;
    bool finding_start_ = false;  // the newest seq is being read
    std::vector<TargetState> states_;
    std::deque<DeadNote> dead_;  // at most settings_.max_dead
    std::uint64_t waiting_batch_ = 0;  // a decision's batch, read once it is durable
    boost::asio::steady_timer poll_timer_;
    boost::asio::steady_timer soon_timer_;
    bool soon_armed_ = false;
    bool stopped_ = false;
    // Shared with the callbacks posted back from the delivery thread, which check it
    // before touching this object.
    std::shared_ptr<bool> alive_;
    std::unique_ptr<NotifyDelivery> delivery_;  // last: its thread stops first
};

}  // namespace latchwork::server
