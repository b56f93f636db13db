// console_session.cpp: one console HTTP connection: requests in turn, or one event stream.
#include "server/console/console_session.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <chrono>
#include <exception>

#include "server/console/awaited_read.h"
#include "server/console/console_event.h"
#include "server/console/console_server.h"
#include "server/console/loopback_guard.h"
#include "server/store/reply_release.h"

namespace latchwork::server {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);

// A Last-Event-ID is an entry's seq; anything else is no id at all.
std::optional<std::uint64_t> event_id_of(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t id = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        id = id * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return id;
}

// Holds one of the server's event-stream places while a stream runs.
class Subscription {
public:
    explicit Subscription(ConsoleServer& server) : server_(server) {}
    ~Subscription() { server_.end_subscription(); }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

private:
    ConsoleServer& server_;
};

// The page runs only its own script and style, loads nothing from elsewhere, and
// may not be framed.
constexpr std::string_view kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

template <class Message>
void add_common_headers(Message& message) {
    message.set(http::field::server, "latchwork-gate");
    message.set("Content-Security-Policy", kSecurityPolicy);
    message.set("X-Content-Type-Options", "nosniff");
    message.set("X-Frame-Options", "DENY");
    message.set("Referrer-Policy", "no-referrer");
    message.set(http::field::cache_control, "no-store");
}

}  // namespace

ConsoleSession::ConsoleSession(asio::ip::tcp::socket socket, ConsoleServer& server, PeerSlot slot,
                               bool on_probation)
    : stream_(std::move(socket)),
      server_(server),
      wake_(stream_.get_executor()),
      on_probation_(on_probation),
      slot_(std::move(slot)) {}

ConsoleSession::~ConsoleSession() { server_.forget(this, proven_); }

void ConsoleSession::start() {
    asio::co_spawn(stream_.get_executor(),
                   [self = shared_from_this()]() { return self->serve(); },
                   [](std::exception_ptr fault) {
                       if (fault) std::rethrow_exception(fault);
                   });
}

void ConsoleSession::stop() {
    if (reading_ || streaming_) {
        boost::system::error_code ignored;
        stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        stream_.socket().cancel(ignored);
        stream_.cancel();
    }
    wake_.cancel();
}

void ConsoleSession::wake() { wake_.cancel(); }

void ConsoleSession::push_event(std::uint64_t seq, const std::string& text, bool late) {
    if (!streaming_ || dropped_) return;
    if (event_bytes_ + text.size() > server_.limits().max_event_backlog) {
        // It does not read: its stream ends rather than grow without bound.
        dropped_ = true;
        events_.clear();
        event_bytes_ = 0;
    } else {
        events_.push_back(QueuedEvent{seq, text, late});
        event_bytes_ += text.size();
    }
    wake_.cancel();
}

asio::awaitable<bool> ConsoleSession::send(HttpReply reply, unsigned version,
                                           bool keep_alive, bool head) {
    http::response<http::string_body> response{static_cast<http::status>(reply.status), version};
    add_common_headers(response);
    response.set(http::field::content_type, reply.content_type);
    if (!reply.allow.empty()) response.set(http::field::allow, reply.allow);
    if (reply.status == 401) response.set(http::field::www_authenticate, "Bearer");
    // Moved, not copied: a reply its client does not read is held for the write timeout.
    response.body() = std::move(reply.body);
    response.prepare_payload();
    if (head) response.body().clear();  // the length stays that of the body not sent
    response.keep_alive(keep_alive);
    http::response_serializer<http::string_body> serializer(response);
    if (head) serializer.split(true);
    stream_.expires_after(server_.limits().write_timeout);
    if (head) {
        auto [error, written] = co_await http::async_write_header(stream_, serializer, kAwait);
        co_return !error;
    }
    auto [error, written] = co_await http::async_write(stream_, serializer, kAwait);
    co_return !error;
}

asio::awaitable<void> ConsoleSession::serve() {
    beast::flat_buffer buffer;
    const ConsoleLimits& limits = server_.limits();
    while (!server_.stopping()) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(static_cast<std::uint32_t>(limits.max_header));
        parser.body_limit(limits.max_body);
        // Half-sent requests must not hold a slot for long: an approver may need it.
        stream_.expires_after(limits.header_timeout);
        reading_ = true;
        auto [error, read] = co_await http::async_read(stream_, buffer, parser, kAwait);
        reading_ = false;
        if (error == http::error::body_limit) {
            co_await send(error_reply(413, "request body too large"), 11, false, false);
            break;
        }
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            co_await send(error_reply(431, "request header too large"), 11, false, false);
            break;
        }
        if (error && error.category() == http::make_error_code(http::error::bad_target).category() &&
            error != http::error::end_of_stream && error != http::error::partial_message) {
            co_await send(error_reply(400, "malformed HTTP request"), 11, false, false);
            break;
        }
        if (error) break;  // closed, timed out or stopped
        const http::request<http::string_body>& request = parser.get();
        if (!proven_ && server_.routes().valid_token(request[http::field::authorization])) {
            proven_ = true;
            server_.proven();
        }
        if (on_probation_ && !proven_) {
            // The slots left are kept for requests that carry a valid token.
            co_await send(error_reply(503, "console busy: only requests with a valid bearer token are served now"),
                          request.version(), false, false);
            break;
        }
        on_probation_ = false;
        const HttpCall call{request.method_string(), request.target(),
                            request[http::field::authorization],
                            request[http::field::content_type], request.body(),
                            request["X-Slack-Signature"], request["X-Slack-Request-Timestamp"]};
        std::optional<HttpReply> refused;
        if (server_.routes().open_without_token()) {
            // Nothing but a token-less console's own page may call it (see loopback_guard.h).
            boost::system::error_code no_port;
            refused = refuse_foreign_call(
                CallOrigin{request.method_string(), request[http::field::host],
                           request[http::field::origin], request[http::field::content_type]},
                stream_.socket().local_endpoint(no_port).port());
        }
        // Not a conditional expression: GCC mishandles a co_await in one.
        HttpReply reply;
        if (refused) {
            reply = std::move(*refused);
        } else {
            reply = co_await server_.routes().route(call);
        }
        if (reply.event_stream) {
            if (!server_.subscribe()) {
                co_await send(error_reply(503, "too many event subscribers"), request.version(),
                              false, false);
                break;
            }
            const Subscription subscription(server_);
            co_await stream_events(event_id_of(request["Last-Event-ID"]));
            break;
        }
        // The reply reports state the store may not hold yet: it waits for that batch.
        // A failed store never makes it durable, so the reply becomes that failure.
        for (;;) {
            const ReplyRelease release = reply_release(server_.store(), reply.wait_for);
            if (release.state == ReplyRelease::State::ready) {
                reply = co_await server_.routes().finish(std::move(reply));
                break;
            }
            if (release.state == ReplyRelease::State::failed) {
                reply = error_reply(503, release.failure);
                break;
            }
            wake_.expires_at(asio::steady_timer::time_point::max());
            co_await wake_.async_wait(kAwait);
        }
        const bool keep_alive = request.keep_alive() && !server_.stopping();
        if (!co_await send(std::move(reply), request.version(), keep_alive,
                           request.method() == http::verb::head)) {
            break;
        }
        if (!keep_alive) break;
    }
    boost::system::error_code ignored;
    stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
}

asio::awaitable<boost::system::error_code> ConsoleSession::write_text(const std::string& text) {
    // Each write must end within the write timeout: a client that stops reading has
    // its stream closed, not its events kept.
    stream_.expires_after(server_.limits().write_timeout);
    auto [error, written] = co_await asio::async_write(stream_, asio::buffer(text), kAwait);
    stream_.expires_never();
    co_return error;
}

asio::awaitable<boost::system::error_code> ConsoleSession::replay(std::uint64_t after) {
    Store& store = server_.store();
    AuditQuery oldest;
    oldest.limit = 1;
    Result<std::vector<AuditEntry>> first = co_await awaited_read<std::vector<AuditEntry>>(
        [&](auto done) { store.async_read_audit(oldest, std::move(done)); });
    const bool pruned = !first || (first.value().empty() ? after < server_.feed().told()
                                                         : first.value().front().seq > after + 1);
    if (pruned) {
        // Entries after the id are gone (or unreadable now): the page reads its lists again.
        if (auto error = co_await write_text(resync_event_text())) co_return error;
        if (!first) {
            sent_seq_ = server_.feed().told();
            co_return boost::system::error_code();
        }
    }
    std::uint64_t cursor = after;
    // Live events wait in the queue meanwhile; once the cursor reaches what the feed has
    // told, the queue carries on from there, its duplicates skipped by seq.
    while (cursor < server_.feed().told() && !dropped_ && !server_.stopping()) {
        // A page of the log counts against the backlog with the live events queued: as
        // many entries as fit in what is left of it, as long as they may be (one at least).
        const ConsoleLimits& limits = server_.limits();
        const std::size_t room =
            limits.max_event_backlog - std::min(event_bytes_, limits.max_event_backlog);
        const std::size_t entries =
            std::clamp<std::size_t>(room / limits.max_audit_entry, 1, EventFeed::kPage);
        Result<std::vector<AuditEntry>> page = co_await awaited_read<std::vector<AuditEntry>>([&](auto done) {
            store.async_read_audit(entries_query(cursor, server_.feed().told(), entries), std::move(done));
        });
        if (!page || page.value().empty()) {
            if (!page) co_await write_text(resync_event_text());
            cursor = server_.feed().told();
            break;
        }
        // A late event queued already for an entry of this page goes out with the page;
        // an entry the feed still awaits goes out as the late event the feed will queue.
        const std::uint64_t page_end = page.value().back().seq;
        std::erase_if(events_, [&](const QueuedEvent& queued) {
            const bool in_page = queued.late && queued.seq > cursor && queued.seq <= page_end;
            if (in_page) event_bytes_ -= queued.text.size();
            return in_page;
        });
        for (const AuditEntry& entry : page.value()) {
            cursor = entry.seq;
            sent_seq_ = cursor;
            if (server_.feed().awaits(entry.seq)) continue;
            if (std::optional<std::string> text = console_event_of(entry)) {
                if (auto error = co_await write_text(*text)) co_return error;
            }
        }
    }
    sent_seq_ = std::max(sent_seq_, cursor);
    co_return boost::system::error_code();
}

asio::awaitable<void> ConsoleSession::stream_events(std::optional<std::uint64_t> resume_after) {
    // Close-delimited: the stream ends when the connection does.
    const std::string head =
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: text/event-stream\r\n"
        "Cache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "Connection: close\r\n\r\n"
        ": stream open\n\n";
    streaming_ = true;
    // Without an id the stream starts at what the feed tells next.
    sent_seq_ = server_.feed().told();
    boost::system::error_code error = co_await write_text(head);
    if (!error && resume_after) error = co_await replay(*resume_after);
    while (!error && !dropped_ && !server_.stopping()) {
        if (events_.empty()) {
            wake_.expires_after(server_.limits().event_heartbeat);
            auto [waited] = co_await wake_.async_wait(kAwait);
            if (!waited && events_.empty()) {  // the heartbeat, not an event
                static const std::string kComment = ": keep-alive\n\n";
                error = co_await write_text(kComment);
            }
            continue;
        }
        QueuedEvent next = std::move(events_.front());
        events_.pop_front();
        event_bytes_ -= next.text.size();
        if (next.seq != 0 && next.seq <= sent_seq_ && !next.late) continue;  // replayed already
        sent_seq_ = std::max(sent_seq_, next.seq);
        error = co_await write_text(next.text);
    }
    streaming_ = false;
}

}  // namespace latchwork::server
