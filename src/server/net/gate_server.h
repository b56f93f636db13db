// gate_server.h: the listening socket, the live connections and the orderly stop.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <unordered_set>

#include "server/net/connection_caps.h"
#include "server/net/submit_wait.h"
#include "server/store/request_handler.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

class Connection;
class LineAccess;

struct ServerLimits {
    std::size_t max_line = 1 << 20;          // bytes of one request line, line feed excluded
    std::size_t max_connections = 10'000;    // connections served at once
    std::size_t max_unsent = 1 << 20;        // a connection is not read from above this
    std::size_t max_connections_per_peer = 5'000;  // from one IP address at once
    // A connection is closed when a request line stays unfinished this long, when one
    // write of replies takes this long (its client reads nothing), or after this long
    // without a request (zero: never, since GateClient does not reconnect).
    std::chrono::milliseconds line_timeout = std::chrono::seconds(10);
    std::chrono::milliseconds write_timeout = std::chrono::seconds(30);
    std::chrono::milliseconds idle_timeout{0};
};

// Everything runs on the one thread that runs the io_context: network and ledger.
class GateServer {
public:
    GateServer(boost::asio::io_context& io, RequestHandler& handler, Store& store,
               ServerLimits limits);
    ~GateServer();
    GateServer(const GateServer&) = delete;
    GateServer& operator=(const GateServer&) = delete;

    // Binds and listens; the endpoint really bound (port 0 becomes a free port).
    Result<boost::asio::ip::tcp::endpoint> listen(const boost::asio::ip::tcp::endpoint& at);
    // Starts accepting and watching for SIGTERM and SIGINT; io.run() returns once
    // stopped and every connection has closed.
    void start();
    // What either signal does: accept no more, read no more, answer what was read,
    // close every connection (after a deadline, whatever is still unsent). Runs on the
    // io_context's thread.
    void stop();

    // For connections.
    RequestHandler& handler() noexcept { return handler_; }
    SubmitWaits& submit_waits() noexcept { return submit_waits_; }
    const SubmitWaits& submit_waits() const noexcept { return submit_waits_; }
    Store& store() noexcept { return store_; }
    const ServerLimits& limits() const noexcept { return limits_; }
    std::span<char> scratch() noexcept { return scratch_; }
    boost::asio::io_context& io() noexcept { return io_; }
    void forget(Connection* connection);
    // A connection whose replies wait for the store says so, and says when none
    // waits any more: a commit then visits only those, not every idle connection.
    void waiting_for_store(Connection* connection) { waiting_.insert(connection); }
    void done_waiting(Connection* connection) { waiting_.erase(connection); }
    std::size_t connection_count() const noexcept { return connections_.size(); }

    // For a second door onto the same ledger (the console): called after the
    // connections were told that durable() advanced, and when stop() begins.
    void set_durable_watcher(std::function<void()> watcher) { durable_watcher_ = std::move(watcher); }
    void set_stop_watcher(std::function<void()> watcher) { stop_watcher_ = std::move(watcher); }
    // Another, for the server's own timers; for as long as the server lives.
    void set_timer_stop(std::function<void()> watcher) { timer_stop_ = std::move(watcher); }
    // Who may speak on the line port (line_access.h); null, the default, lets every
    // peer speak. Set before start(); it must outlive the server.
    // Connections have it count wrong hellos, hence not const.
    void set_line_access(LineAccess* access) noexcept { line_access_ = access; }
    LineAccess* line_access() noexcept { return line_access_; }
    const LineAccess* line_access() const noexcept { return line_access_; }
    // TLS on every line-port connection (tls_context.h); null, the default, keeps the
    // port plain. Set before start(); it must outlive the server.
    void set_tls(boost::asio::ssl::context* tls) noexcept { tls_ = tls; }
    boost::asio::ssl::context* tls() const noexcept { return tls_; }

private:
    boost::asio::awaitable<void> accept_loop();
    // Serves a new connection, or closes it at once when a cap says so.
    void admit(boost::asio::ip::tcp::socket socket);

    boost::asio::io_context& io_;
    RequestHandler& handler_;
    Store& store_;
    SubmitWaits submit_waits_;  // watches the handler's decisions while the server lives
    ServerLimits limits_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::signal_set signals_;
    boost::asio::steady_timer drain_deadline_;
    boost::asio::steady_timer accept_pause_;
    ConnectionCaps caps_;
    std::unordered_set<Connection*> connections_;
    std::unordered_set<Connection*> waiting_;  // those with replies waiting for the store
    std::function<void()> durable_watcher_;
    std::function<void()> stop_watcher_;
    std::function<void()> timer_stop_;
    LineAccess* line_access_ = nullptr;
    boost::asio::ssl::context* tls_ = nullptr;
    bool stopping_ = false;
    // One thread reads every connection, and each read is consumed before the next,
    // so one buffer serves them all.
    std::array<char, 64 * 1024> scratch_{};
};

}  // namespace latchwork::server
