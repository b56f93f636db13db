// gate_server.cpp: the listening socket, the live connections and the orderly stop.
#include "server/net/gate_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <csignal>
#include <exception>
#include <memory>
#include <vector>

#include "server/core/diagnostics.h"
#include "server/net/connection.h"
#include "server/net/listen_address.h"

namespace latchwork::server {
namespace asio = boost::asio;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
// How long a stop waits for clients to take their last replies before closing anyway.
constexpr auto kDrainDeadline = std::chrono::seconds(5);
// Connections taken from the backlog at once, beside the one an accept completed with.
constexpr int kAcceptBurst = 64;

}  // namespace

GateServer::GateServer(asio::io_context& io, RequestHandler& handler, Store& store,
                       ServerLimits limits)
    : io_(io),
      handler_(handler),
      store_(store),
      submit_waits_(io),
      limits_(limits),
      acceptor_(io),
      signals_(io, SIGTERM, SIGINT),
      drain_deadline_(io),
      accept_pause_(io),
      caps_(limits.max_connections, limits.max_connections_per_peer) {
    handler_.add_observer(&submit_waits_);
    store_.set_durable_listener([this] {
        // Releasing may leave a connection with nothing waiting, which takes it out of
        // the set: the loop walks a copy.
        const std::vector<Connection*> waiting(waiting_.begin(), waiting_.end());
        for (Connection* connection : waiting) connection->release_durable();
        if (const Failure* failed = store_.failure(); failed && !stopping_) {
            // Fail closed: what is waiting was just answered with the failure; stop
            // taking requests, and the program exits non-zero once those are sent.
            diagnose(failed->message + "; stopping");
            stop();
        }
        if (durable_watcher_) durable_watcher_();
    });
}

GateServer::~GateServer() {
    handler_.remove_observer(&submit_waits_);
    store_.set_durable_listener({});
}

Result<asio::ip::tcp::endpoint> GateServer::listen(const asio::ip::tcp::endpoint& at) {
    return listen_on(acceptor_, at);
}

void GateServer::start() {
    // A fault escaping a coroutine is a bug of ours: it ends io.run() with the exception.
    auto rethrow = [](std::exception_ptr fault) {
        if (fault) std::rethrow_exception(fault);
    };
    boost::system::error_code ignored;
    acceptor_.non_blocking(true, ignored);  // so that the backlog can be emptied
    asio::co_spawn(io_, accept_loop(), rethrow);
    signals_.async_wait([this](const boost::system::error_code& error, int) {
        if (!error) stop();
    });
}

asio::awaitable<void> GateServer::accept_loop() {
    boost::system::error_code last_error;
    for (;;) {
        auto [error, socket] = co_await acceptor_.async_accept(kAwait);
        if (stopping_ || error == asio::error::operation_aborted) break;
        if (error) {
            // One line per new kind of failure, not one per attempt.
            if (error != last_error) {
                diagnose("accept failed: " + error.message());
            }
            last_error = error;
            accept_pause_.expires_after(kAcceptPause);
            co_await accept_pause_.async_wait(kAwait);
            continue;
        }
        last_error = {};
        admit(std::move(socket));
        // Under load the accept's completion waits a whole round of every connection's
        // turn: what else is waiting in the backlog is taken now, not one per round.
        for (int more = 0; more < kAcceptBurst && !stopping_; ++more) {
            boost::system::error_code none_waiting;
            asio::ip::tcp::socket next = acceptor_.accept(none_waiting);
            if (none_waiting) break;
            admit(std::move(next));
        }
    }
}

void GateServer::admit(asio::ip::tcp::socket socket) {
    std::optional<PeerSlot> slot = caps_.admit(socket, connections_.size());
    if (!slot) return;
    auto connection = std::make_shared<Connection>(std::move(socket), *this);
    connection->keep(std::move(*slot));
    connections_.insert(connection.get());
    connection->start();
}

void GateServer::stop() {
    if (stopping_) return;
    stopping_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    accept_pause_.cancel();
    signals_.cancel();
    if (stop_watcher_) stop_watcher_();
    if (timer_stop_) timer_stop_();
    // stop_reading may not end a connection at once, but it never erases another
    // from the set while this loop runs; a copy keeps the loop safe all the same.
    const std::vector<Connection*> live(connections_.begin(), connections_.end());
    for (Connection* connection : live) connection->stop_reading();
    if (connections_.empty()) return;
    drain_deadline_.expires_after(kDrainDeadline);
    drain_deadline_.async_wait([this](const boost::system::error_code& error) {
        if (error) return;
        const std::vector<Connection*> left(connections_.begin(), connections_.end());
        for (Connection* connection : left) connection->abort();
    });
}

void GateServer::forget(Connection* connection) {
    connections_.erase(connection);
    waiting_.erase(connection);
    if (stopping_ && connections_.empty()) drain_deadline_.cancel();
}

}  // namespace latchwork::server
