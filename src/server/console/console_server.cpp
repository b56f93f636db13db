// console_server.cpp: the console's HTTP listener and its connections, on the network thread.
#include "server/console/console_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
#include <vector>

#include "server/console/console_session.h"
#include "server/net/listen_address.h"

namespace latchwork::server {
namespace asio = boost::asio;

ConsoleServer::ConsoleServer(asio::io_context& io, ConsoleRoutes& routes, ConsoleState& state,
                             Store& store, ConsoleLimits limits)
    : io_(io),
      routes_(routes),
      state_(state),
      store_(store),
      limits_(limits),
      acceptor_(io),
      peer_slots_(limits.max_connections_per_peer) {
    state_.set_event_listener([this](const std::string& text) {
        for (ConsoleSession* session : sessions_) session->push_event(text);
    });
}

ConsoleServer::~ConsoleServer() { state_.set_event_listener({}); }

Result<asio::ip::tcp::endpoint> ConsoleServer::listen(const asio::ip::tcp::endpoint& at) {
    return listen_on(acceptor_, at);
}

void ConsoleServer::start() {
    asio::co_spawn(io_, accept_loop(), [](std::exception_ptr fault) {
        if (fault) std::rethrow_exception(fault);
    });
}

asio::awaitable<void> ConsoleServer::accept_loop() {
    for (;;) {
        auto [error, socket] = co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
        if (stopping_ || error == asio::error::operation_aborted) break;
        if (error) continue;  // the line protocol's listener reports such failures
        if (sessions_.size() >= limits_.max_connections) {
            boost::system::error_code ignored;
            socket.close(ignored);
            continue;
        }
        boost::system::error_code no_peer;
        std::optional<PeerSlot> slot = peer_slots_.take(socket.remote_endpoint(no_peer).address());
        if (no_peer || !slot) {
            boost::system::error_code ignored;
            socket.close(ignored);  // gone already, or its peer holds its share
            continue;
        }
        // Only a console with approvers has tokens to keep room for.
        const bool reserve = !routes_.open_without_token() &&
                             limits_.max_connections > limits_.reserved_for_tokens;
        const bool on_probation =
            reserve && unproven_ >= limits_.max_connections - limits_.reserved_for_tokens;
        auto session = std::make_shared<ConsoleSession>(std::move(socket), *this, std::move(*slot),
                                                        on_probation);
        sessions_.insert(session.get());
        ++unproven_;
        session->start();
    }
}

void ConsoleServer::stop() {
    if (stopping_) return;
    stopping_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    const std::vector<ConsoleSession*> live(sessions_.begin(), sessions_.end());
    for (ConsoleSession* session : live) session->stop();
}

void ConsoleServer::durable_advanced() {
    state_.release_events(store_.durable());
    for (ConsoleSession* session : sessions_) session->wake();
}

}  // namespace latchwork::server
