// pg_change_listener.cpp: hears what the other servers of a shared database commit, reads it, and hands it to the network thread.
#include "server/store/postgres/pg_change_listener.h"

#include <boost/asio/post.hpp>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "server/core/diagnostics.h"
#include "server/store/backoff.h"
#include "server/store/postgres/pg_reads.h"

namespace latchwork::server {
namespace {

// How long one wait for the socket lasts before the stop flag is looked at again.
constexpr int kPollMs = 100;

struct NotifyFreer {
    void operator()(PGnotify* notify) const noexcept { PQfreemem(notify); }
};

}  // namespace

PgChangeListener::PgChangeListener(std::string conninfo, std::string server,
                                   std::chrono::milliseconds timeout, boost::asio::io_context& io,
                                   Deliver deliver)
    : conninfo_(std::move(conninfo)),
      server_(std::move(server)),
      timeout_(timeout),
      io_(io),
      deliver_(std::move(deliver)) {}

PgChangeListener::~PgChangeListener() {
    request_stop();
    if (thread_.joinable()) thread_.join();
}

void PgChangeListener::request_stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_signal_.notify_all();
}

void PgChangeListener::start() {
    thread_ = std::thread([this] { run(); });
}

bool PgChangeListener::pause_unless_stopped(std::chrono::milliseconds pause) {
    std::unique_lock lock(mutex_);
    return !stop_signal_.wait_for(lock, pause, [this] { return stopping_; });
}

void PgChangeListener::run() {
    Backoff backoff;  // as the store's own connection does
    bool gap = false;  // notifications may have been sent while nobody here listened
    bool said_lost = false;
    while (pause_unless_stopped(backoff.pause())) {
        Result<PgConnection> connected = PgConnection::open(conninfo_, timeout_);
        std::string why;
        if (connected) {
            const std::string listen = std::string("LISTEN ") + kChangeChannel;
            Rows listening = connected.value().run(listen.c_str());
            if (listening.ok()) {
                if (gap) hand_over({}, true);
                if (said_lost) diagnose("store listener restored");
                gap = false;
                said_lost = false;
                backoff.reset();
                receive(connected.value());
                why = one_line(PQerrorMessage(connected.value().native()));
            } else {
                why = listening.failure().message;
            }
        } else {
            why = connected.error();
        }
        gap = true;
        {
            const std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        if (!said_lost) {
            diagnose("store listener: " + why + "; reconnecting");
            said_lost = true;
        }
        backoff.failed();
    }
}

void PgChangeListener::receive(PgConnection& connection) {
    PGconn* native = connection.native();
    const int socket = PQsocket(native);
    for (;;) {
        {
            const std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        pollfd watched{socket, POLLIN, 0};
        const int ready = poll(&watched, 1, kPollMs);
        if (ready < 0 && errno != EINTR) return;
        if (ready <= 0) continue;
        if (PQconsumeInput(native) == 0) return;
        std::vector<std::int64_t> xacts;
        bool missed = false;
        while (std::unique_ptr<PGnotify, NotifyFreer> heard{PQnotifies(native)}) {
            std::optional<ChangeNotice> notice = read_notice(heard->extra);
            // Not ours to read, or our own: the network thread knows it already.
            if (!notice || notice->server == server_) continue;
            if (xacts.size() < kMostTransactions) {
                xacts.push_back(notice->xact);
            } else {
                missed = true;
            }
        }
        if (!xacts.empty()) {
            std::sort(xacts.begin(), xacts.end());
            xacts.erase(std::unique(xacts.begin(), xacts.end()), xacts.end());
            // One more than is handed over, to know when some were left out.
            Result<std::vector<AuditEntry>> entries =
                select_audit_of_transactions(connection, xacts, kMostReadAtOnce + 1);
            if (!entries && !connection.usable()) return;
            if (!entries || entries.value().size() > kMostReadAtOnce) {
                missed = true;
                if (entries) entries.value().resize(kMostReadAtOnce);
            }
            hand_over(entries ? std::move(entries).value() : std::vector<AuditEntry>{}, missed);
        } else if (missed) {
            hand_over({}, true);
        }
        if (!connection.usable()) return;
    }
}

void PgChangeListener::hand_over(std::vector<AuditEntry> entries, bool missed) {
    bool post = false;
    {
        const std::lock_guard lock(mutex_);
        for (AuditEntry& entry : entries) {
            const std::size_t bytes = entry.run_id.size() + entry.effect_key.size() + entry.reason.size() +
                                      entry.source.size() + entry.verdict.size() + sizeof(AuditEntry);
            if (waiting_.size() >= kMostWaiting || waiting_bytes_ + bytes > kMostWaitingBytes) {
                ++dropped_;
                missed = true;
            } else {
                waiting_bytes_ += bytes;
                waiting_.push_back(std::move(entry));
            }
        }
        missed_ = missed_ || missed;
        post = !drain_posted_;
        drain_posted_ = true;
    }
    if (post) boost::asio::post(io_, [this] { drain(); });
}

void PgChangeListener::drain() {
    std::vector<AuditEntry> entries;
    bool missed = false;
    {
        const std::lock_guard lock(mutex_);
        entries.assign(std::make_move_iterator(waiting_.begin()), std::make_move_iterator(waiting_.end()));
        waiting_.clear();
        waiting_bytes_ = 0;
        missed = missed_;
        missed_ = false;
        drain_posted_ = false;
    }
    deliver_(std::move(entries), missed);
}

}  // namespace latchwork::server
