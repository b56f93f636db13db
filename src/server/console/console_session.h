// console_session.h: one console HTTP connection: requests in turn, or one event stream.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <deque>
#include <memory>
#include <string>

#include "server/console/console_routes.h"
#include "server/net/peer_slots.h"

namespace latchwork::server {

class ConsoleServer;

// Owned by its coroutine (shared ownership); the server knows it by pointer while it lives.
class ConsoleSession : public std::enable_shared_from_this<ConsoleSession> {
public:
    // `on_probation`: it holds a slot kept for approvers, so its first request must
    // carry a valid bearer token.
    ConsoleSession(boost::asio::ip::tcp::socket socket, ConsoleServer& server, PeerSlot slot,
                   bool on_probation);
    ~ConsoleSession();
    ConsoleSession(const ConsoleSession&) = delete;
    ConsoleSession& operator=(const ConsoleSession&) = delete;

    void start();
    // The server stops: an idle read or an event stream ends now.
    void stop();
    // Something it may wait for happened (a durable batch, an event).
    void wake();
    // Queues an event for a stream; a stream that falls too far behind is dropped.
    void push_event(const std::string& text);

private:
    boost::asio::awaitable<void> serve();
    boost::asio::awaitable<void> stream_events();
    boost::asio::awaitable<bool> send(const HttpReply& reply, unsigned version, bool keep_alive,
                                      bool head);

    boost::beast::tcp_stream stream_;
    ConsoleServer& server_;
    boost::asio::steady_timer wake_;
    bool reading_ = false;  // idle between requests, safe to close
    bool streaming_ = false;
    bool dropped_ = false;
    bool on_probation_ = false;
    bool proven_ = false;  // a request carried a valid bearer token
    PeerSlot slot_;
    std::deque<std::string> events_;
    std::size_t event_bytes_ = 0;
};

}  // namespace latchwork::server
