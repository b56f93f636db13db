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
    : io_(io), routes_(routes), state_(state), store_(store), limits_(limits), acceptor_(io) {
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
        auto session = std::make_shared<ConsoleSession>(std::move(socket), *this);
        sessions_.insert(session.get());
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
