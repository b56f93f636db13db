// connection.h: one client connection: its requests read line by line, its replies in order.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/net/peer_slots.h"
#include "server/net/submit_wait.h"
#include "server/store/request_handler.h"

namespace latchwork::server {

class GateServer;

// Owned by its own two coroutines (shared ownership); the server only knows it by
// pointer while it lives. An idle connection holds one small read buffer of its own
// (kFirstRead bytes); a read that fills it goes on into the server's one scratch
// buffer, so only an incomplete line, or replies not yet sent, cost more.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(boost::asio::ip::tcp::socket socket, GateServer& server);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Holds the connection's place in its peer's count for as long as it lives.
    void keep(PeerSlot slot) { slot_ = std::move(slot); }
    void start();
    // Reads nothing more; what was read is answered, then the connection closes.
    void stop_reading();
    // Closes at once, whatever is still unsent.
    void abort();
    // Moves the replies whose batch is durable to the outgoing bytes.
    void release_durable();

private:
    using Clock = boost::asio::steady_timer::clock_type;

    // What the next read got, valid until the next read or handler: at least one byte,
    // or none at the end of the stream, on a failed socket or when the read was
    // cancelled.
    boost::asio::awaitable<std::string_view> read_more();
    boost::asio::awaitable<std::string_view> read_available();
    boost::asio::awaitable<std::string_view> read_available_tls();
    boost::asio::awaitable<void> read_loop();
    boost::asio::awaitable<void> write_loop();
    boost::asio::awaitable<void> drain_input();
    // Waits out a held reply's delay, then queues it; the wait ends early when the
    // server stops (the reply goes at once) or the connection closes (it is dropped).
    boost::asio::awaitable<void> release_held();
    // Closes the connection when a line, a write or the quiet between requests
    // outlasts its timeout (ServerLimits).
    boost::asio::awaitable<void> watch_loop();
    // A deadline (ServerLimits) now runs out at `due`: the watchdog looks again if it
    // waits for a later time.
    void deadline_at(Clock::time_point due);
    bool over_reply_cap() const noexcept;
    // Splits received bytes into lines and answers each; false once a line is too long.
    bool read_lines(std::string_view bytes);
    void stash(std::string_view rest);
    // Answers one line; false when it closed the connection instead.
    bool answer_line(std::string_view line);
    void queue(Answer answer);
    // A reply in line, and the wait of a submit that may wait for its effect.
    struct Queued {
        Answer answer;
        std::shared_ptr<SubmitWait> wait;
        std::size_t counted = 0;  // what it counts in unsent_: its line and its place in line
    };
    // Whether a durable reply at the head is final; false while its submit waits (the
    // replies behind it wait too: replies keep request order).
    bool settle(Queued& queued);
    void replace_answer(Queued& queued, Answer answer);
    void wake_writer() { writer_wake_.cancel(); }
    void wake_reader() { reader_wake_.cancel(); }

    boost::asio::ip::tcp::socket socket_;
    GateServer& server_;
    // Only on a TLS line port: the session over socket_. Null keeps the plain path's
    // reads, writes and system calls exactly what they are without TLS.
    std::unique_ptr<boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>> tls_;
    // A TLS read completes after other handlers may have run (Asio defers the completion
    // of a read the session could answer at once), so it cannot share the scratch
    // buffer that plain reads use and consume at once: each TLS connection has its own.
    std::vector<char> tls_input_;
    // Where a plain read lands first: a request line or a few fit whole.
    static constexpr std::size_t kFirstRead = 512;
    std::array<char, kFirstRead> first_read_{};
    Peer peer_;  // its address for the audit log, and what the access rules let it do
    boost::asio::ip::address remote_;  // what wrong hellos are counted against
    // A hello's reply that waits before it goes (hello_failures.h). Nothing after it
    // is read or parsed meanwhile, so replies keep request order.
    struct Held {
        Reply reply;
        Clock::time_point until;
    };
    std::optional<Held> held_;
    PeerSlot slot_;
    boost::asio::steady_timer writer_wake_;
    boost::asio::steady_timer reader_wake_;
    boost::asio::cancellation_signal read_cancel_;
    boost::asio::steady_timer watchdog_;
    Clock::time_point last_request_;   // or the connection's start
    Clock::time_point line_started_;   // when partial_ got its first byte
    Clock::time_point write_started_;  // when the write in flight began
    // What the watchdog's wait in progress waits for; min() while it is not waiting.
    Clock::time_point watched_until_ = Clock::time_point::min();
    bool writing_ = false;
    bool handshaking_ = false;         // bounded by the line timeout, from line_started_

    std::string partial_;         // the start of a line whose line feed has not come yet
    // Read but not parsed yet, from unparsed_at_ on, because the replies reached their
    // cap or the connection's turn ended: at most one read (the scratch buffer, 64 KiB).
    std::string unparsed_;
    std::size_t unparsed_at_ = 0;
    bool taking_unparsed_ = false;  // read_lines() is reading unparsed_ itself
    // Replies whose batch is not durable yet, in order, from waiting_head_ on. (A
    // vector, unlike a deque, costs nothing until the first reply has to wait.)
    std::vector<Queued> waiting_;
    std::size_t waiting_head_ = 0;
    std::string outbox_;          // replies free to go, not handed to the socket yet
    std::string sending_;         // bytes the socket is writing now
    std::size_t unsent_ = 0;      // bytes in all three

    bool reading_done_ = false;   // no more requests will be read
    bool stop_requested_ = false;
    bool closed_ = false;         // the socket failed or was aborted
    bool too_long_ = false;       // a line over the cap ended the reading
    bool refused_ = false;        // the access rules ended the reading
    bool first_line_read_ = false;  // the first line is checked for HTTP
};

}  // namespace latchwork::server
