// pg_change_listener.h: hears what the other servers of a shared database commit, reads it, and hands it to the network thread.
//
// A batch transaction that left entries notifies on the channel "latchwork" with
// nothing but its sender and its transaction number (pg_change_notice.h). This
// listener keeps a connection of its own that LISTENs there, on a thread of its own;
// for the notices of other servers it reads the committed audit entries of those
// transactions on the same connection, and hands the entries to the network thread
// through `deliver`. What it hands over is only ever what the store committed.
//
// Why a thread, and not the connection's socket watched by the io_context: libpq
// connects blocking (up to connect_timeout), and a listener reconnects whenever the
// database comes back, so on the network thread a reconnection could stall every
// client for seconds. On its own thread the blocking costs nobody anything; what
// crosses over is a bounded queue and one posted handler at a time.
//
// The hand-off queue holds at most kMostWaiting entries and kMostWaitingBytes of their
// text (read without their details, which nobody hearing them needs), and one wake-up
// reads at most kMostReadAtOnce entries of at most kMostTransactions transactions.
// Beyond any of these, the rest are dropped (and counted in dropped()), and the next
// delivery says `missed`: whoever
// keeps a view of the store reads it again. `missed` is said likewise whenever the
// listener reconnects after a gap (a lost connection, or a first attempt that
// failed), since notifications sent meanwhile are gone: PostgreSQL keeps none for a
// session that is not listening.
#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/core/audit_entry.h"
#include "server/store/postgres/pg_change_notice.h"
#include "server/store/postgres/pg_connection.h"

namespace latchwork::server {

class PgChangeListener {
public:
    static constexpr std::size_t kMostWaiting = 4096;
    static constexpr std::size_t kMostWaitingBytes = 4 << 20;  // of ids, sources and reasons
    static constexpr std::size_t kMostTransactions = 1024;
    static constexpr std::size_t kMostReadAtOnce = 256;        // entries read per wake-up

    // Called on the network thread: the entries other servers committed, in commit
    // order (seq order within one read), and whether changes may have been missed
    // before or among them.
    using Deliver = std::function<void(std::vector<AuditEntry> entries, bool missed)>;

    // Listens to `conninfo` once started, ignoring what `server` (this server's id)
    // sent itself; posts deliveries to `io`, which must outlive the listener. Its
    // connection gives up on the database after `timeout` (zero: never).
    PgChangeListener(std::string conninfo, std::string server, std::chrono::milliseconds timeout,
                     boost::asio::io_context& io, Deliver deliver);
    // Stops the thread and waits for it (at most one poll interval, or a connection
    // attempt under way).
    ~PgChangeListener();
    PgChangeListener(const PgChangeListener&) = delete;
    PgChangeListener& operator=(const PgChangeListener&) = delete;

    void start();
    // Lets the thread end as soon as it can, before the destructor waits for it.
    void request_stop();
    // Notices dropped because the hand-off queue was full.
    std::uint64_t dropped() const noexcept { return dropped_; }

private:
    // The listener thread's loop: connect, LISTEN, receive until lost; again after a pause.
    void run();
    // Receives on `connection` until it is lost or the listener stops.
    void receive(PgConnection& connection);
    // Sleeps for `pause` unless stopped first; false once stopped.
    bool pause_unless_stopped(std::chrono::milliseconds pause);
    // The listener thread's side of the hand-off.
    void hand_over(std::vector<AuditEntry> entries, bool missed);
    // The network thread's side.
    void drain();

    const std::string conninfo_;
    const std::string server_;
    const std::chrono::milliseconds timeout_;
    boost::asio::io_context& io_;
    const Deliver deliver_;

    std::mutex mutex_;  // guards what follows up to thread_
    std::condition_variable stop_signal_;
    bool stopping_ = false;
    std::deque<AuditEntry> waiting_;  // at most kMostWaiting
    std::size_t waiting_bytes_ = 0;   // of waiting_, at most kMostWaitingBytes
    bool missed_ = false;
    bool drain_posted_ = false;
    std::atomic<std::uint64_t> dropped_{0};

    std::thread thread_;  // last: it stops before the rest goes
};

}  // namespace latchwork::server
