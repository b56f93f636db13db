// console_server.h: the console's HTTP listener and its connections, on the network thread.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <unordered_set>

#include "server/console/console_routes.h"
#include "server/console/console_counters.h"
#include "server/console/event_feed.h"
#include "server/net/connection_caps.h"
#include "server/store/audit_follower.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

struct ConsoleLimits {
    std::size_t max_header = 8 * 1024;   // bytes of the request line and headers
    std::size_t max_body = 64 * 1024;    // bytes of a request body
    std::size_t max_connections = 1000;  // console connections at once; more are closed
    std::size_t max_event_backlog = 1 << 20;  // unsent event bytes before a stream is dropped
    // The most one audit entry may hold (two ids, a detail, a reason): a resumed stream
    // reads as many entries at once as fit in what its backlog has left.
    std::size_t max_audit_entry = 2 * 4096 + 16 * 1024 + 64 * 1024 + 1024;
    std::size_t max_subscribers = 100;  // event streams at once; more are answered 503
    // A comment line on an event stream this often keeps proxies from closing it.
    std::chrono::milliseconds event_heartbeat = std::chrono::seconds(15);
    // A request whose line, headers and body take longer is closed (and so is an idle
    // keep-alive connection); a reply or event write taking longer ends the connection.
    std::chrono::milliseconds header_timeout = std::chrono::seconds(10);
    std::chrono::milliseconds write_timeout = std::chrono::seconds(30);
    std::size_t max_connections_per_peer = 64;
    // Slots that connections without a valid bearer token cannot all take: once the
    // others hold max_connections - reserved_for_tokens, a new connection's first
    // request must carry a valid token, or it is answered 503 and closed.
    std::size_t reserved_for_tokens = 100;
    // How the event feed follows the audit log: its gap wait, the store's retention.
    FollowSettings follow;
};

class ConsoleSession;

// Shares the io_context's one thread with the line protocol, so the routes touch
// the ledger with no lock.
class ConsoleServer {
public:
    ConsoleServer(boost::asio::io_context& io, ConsoleRoutes& routes, ConsoleCounters& counters,
                  Store& store, ConsoleLimits limits);
    ~ConsoleServer();
    ConsoleServer(const ConsoleServer&) = delete;
    ConsoleServer& operator=(const ConsoleServer&) = delete;

    Result<boost::asio::ip::tcp::endpoint> listen(const boost::asio::ip::tcp::endpoint& at);
    void start();
    // Accepts no more; idle connections and event streams close, a reply waiting for
    // its batch still leaves once the batch is durable.
    void stop();
    // The store's durable() advanced: waiting replies may go, new entries be told.
    void durable_advanced();

    std::size_t connection_count() const noexcept { return sessions_.size(); }

    // For sessions.
    ConsoleRoutes& routes() noexcept { return routes_; }
    Store& store() noexcept { return store_; }
    const ConsoleLimits& limits() const noexcept { return limits_; }
    const EventFeed& feed() const noexcept { return feed_; }
    // An event stream starts, unless max_subscribers already do; end_subscription() when it ends.
    bool subscribe();
    void end_subscription() noexcept { --subscribers_; }
    bool stopping() const noexcept { return stopping_; }
    void forget(ConsoleSession* session, bool proven) {
        sessions_.erase(session);
        if (!proven) --unproven_;
    }
    // A session showed a valid bearer token: it no longer counts against the others' share.
    void proven() noexcept { --unproven_; }

private:
    boost::asio::awaitable<void> accept_loop();
    // Reads the log soon, after the request being handled is done with the store.
    void pump_soon();
    // Other servers sharing the store commit too: their entries are looked for this often.
    void poll();

    boost::asio::io_context& io_;
    ConsoleRoutes& routes_;
    ConsoleCounters& counters_;
    Store& store_;
    ConsoleLimits limits_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::unordered_set<ConsoleSession*> sessions_;
    std::size_t unproven_ = 0;  // sessions that have not shown a valid token
    ConnectionCaps caps_;
    bool stopping_ = false;
    std::size_t subscribers_ = 0;
    EventFeed feed_;
    boost::asio::steady_timer soon_timer_;
    boost::asio::steady_timer poll_timer_;
    bool pump_armed_ = false;
};

}  // namespace latchwork::server
