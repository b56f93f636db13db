// console_session.h: one console HTTP connection: requests in turn, or one event stream.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <deque>
#include <memory>
#include <optional>
#include <utility>
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
    // Queues an event (`seq` 0: one with no id) for a stream; a stream that falls too
    // far behind is dropped. A late one (an entry that committed after later ones) is
    // sent even below the ids sent already.
    void push_event(std::uint64_t seq, const std::string& text, bool late = false);

private:
    boost::asio::awaitable<void> serve();
    // `resume_after`: the Last-Event-ID the client sent, whose successors it gets first.
    boost::asio::awaitable<void> stream_events(std::optional<std::uint64_t> resume_after);
    // Sends the committed events after `after` that the live feed has told already.
    boost::asio::awaitable<boost::system::error_code> replay(std::uint64_t after);
    boost::asio::awaitable<boost::system::error_code> write_text(const std::string& text);
    boost::asio::awaitable<bool> send(HttpReply reply, unsigned version, bool keep_alive,
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
    struct QueuedEvent {
        std::uint64_t seq = 0;
        std::string text;
        bool late = false;
    };
    std::deque<QueuedEvent> events_;  // bounded in bytes
    std::size_t event_bytes_ = 0;
    std::uint64_t sent_seq_ = 0;  // events with an id at most this were sent already
};

}  // namespace latchwork::server
