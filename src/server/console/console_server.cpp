// console_server.cpp: the console's HTTP listener and its connections, on the network thread.
#include "server/console/console_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
#include <vector>

#include "server/console/console_event.h"
#include "server/console/console_session.h"
#include "server/net/listen_address.h"

namespace latchwork::server {
namespace asio = boost::asio;

namespace {
// How soon another server's committed change reaches this server's streams at most.
constexpr auto kPollOthers = std::chrono::seconds(1);
}  // namespace

ConsoleServer::ConsoleServer(asio::io_context& io, ConsoleRoutes& routes, ConsoleCounters& counters,
                             Store& store, ConsoleLimits limits)
    : io_(io),
      routes_(routes),
      counters_(counters),
      store_(store),
      limits_(limits),
      acceptor_(io),
      caps_(limits.max_connections, limits.max_connections_per_peer),
      feed_(store, limits.follow, [this](std::uint64_t seq, const std::string& text, bool late) {
          for (ConsoleSession* session : sessions_) session->push_event(seq, text, late);
      }),
      soon_timer_(io),
      poll_timer_(io) {
    counters_.set_change_listener([this](bool missed) {
        if (missed) {
            const std::string resync = resync_event_text();
            for (ConsoleSession* session : sessions_) session->push_event(0, resync);
        }
        pump_soon();
    });
}

ConsoleServer::~ConsoleServer() { counters_.set_change_listener({}); }

Result<asio::ip::tcp::endpoint> ConsoleServer::listen(const asio::ip::tcp::endpoint& at) {
    return listen_on(acceptor_, at);
}

void ConsoleServer::start() {
    feed_.start();  // the log's newest seq now: what commits once serving is told
    poll();
    asio::co_spawn(io_, accept_loop(), [](std::exception_ptr fault) {
        if (fault) std::rethrow_exception(fault);
    });
}

asio::awaitable<void> ConsoleServer::accept_loop() {
    for (;;) {
        auto [error, socket] = co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
        if (stopping_ || error == asio::error::operation_aborted) break;
        if (error) {
            // The line port's listener reports such failures; this one only waits them out.
            asio::steady_timer pause(io_, kAcceptPause);
            co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
            continue;
        }
        std::optional<PeerSlot> slot = caps_.admit(socket, sessions_.size());
        if (!slot) continue;
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
    soon_timer_.cancel();
    poll_timer_.cancel();
    const std::vector<ConsoleSession*> live(sessions_.begin(), sessions_.end());
    for (ConsoleSession* session : live) session->stop();
}

void ConsoleServer::durable_advanced() {
    pump_soon();
    for (ConsoleSession* session : sessions_) session->wake();
}

bool ConsoleServer::subscribe() {
    if (subscribers_ >= limits_.max_subscribers) return false;
    ++subscribers_;
    return true;
}

void ConsoleServer::pump_soon() {
    if (pump_armed_ || stopping_) return;
    pump_armed_ = true;
    soon_timer_.expires_after(std::chrono::milliseconds(0));
    soon_timer_.async_wait([this](const boost::system::error_code& error) {
        if (error) return;  // stopped, or gone with the server
        pump_armed_ = false;
        feed_.pump();
    });
}

void ConsoleServer::poll() {
    // Keeps the feed at the log's head even with no stream open, so that a stream
    // without an id starts at what is committed next.
    feed_.pump();
    poll_timer_.expires_after(kPollOthers);
    poll_timer_.async_wait([this](const boost::system::error_code& error) {
        if (!error && !stopping_) poll();
    });
}

}  // namespace latchwork::server
