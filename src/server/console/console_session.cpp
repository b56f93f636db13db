// console_session.cpp: one console HTTP connection: requests in turn, or one event stream.
#include "server/console/console_session.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <exception>

#include "server/console/console_server.h"
#include "server/console/loopback_guard.h"

namespace latchwork::server {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
// A comment line on an event stream this often keeps proxies from closing it.
constexpr auto kHeartbeat = std::chrono::seconds(15);

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

void ConsoleSession::push_event(const std::string& text) {
    if (!streaming_ || dropped_) return;
    if (event_bytes_ + text.size() > server_.limits().max_event_backlog) {
        // It does not read: its stream ends rather than grow without bound.
        dropped_ = true;
        events_.clear();
        event_bytes_ = 0;
    } else {
        events_.push_back(text);
        event_bytes_ += text.size();
    }
    wake_.cancel();
}

asio::awaitable<bool> ConsoleSession::send(const HttpReply& reply, unsigned version,
                                           bool keep_alive, bool head) {
    http::response<http::string_body> response{static_cast<http::status>(reply.status), version};
    add_common_headers(response);
    response.set(http::field::content_type, reply.content_type);
    if (!reply.allow.empty()) response.set(http::field::allow, reply.allow);
    if (reply.status == 401) response.set(http::field::www_authenticate, "Bearer");
    response.body() = reply.body;
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
                            request[http::field::content_type], request.body()};
        std::optional<HttpReply> refused;
        if (server_.routes().open_without_token()) {
            // Nothing but a token-less console's own page may call it (see loopback_guard.h).
            boost::system::error_code no_port;
            refused = refuse_foreign_call(
                CallOrigin{request.method_string(), request[http::field::host],
                           request[http::field::origin], request[http::field::content_type]},
                stream_.socket().local_endpoint(no_port).port());
        }
        HttpReply reply = refused ? std::move(*refused) : server_.routes().route(call);
        if (reply.event_stream) {
            co_await stream_events();
            break;
        }
        // The reply reports state the store may not hold yet: it waits for that batch.
        // A failed store never makes it durable, so the reply becomes that failure.
        while (server_.store().durable() < reply.wait_for) {
            if (const Failure* failed = server_.store().failure()) {
                reply = error_reply(503, failed->message);
                break;
            }
            wake_.expires_at(asio::steady_timer::time_point::max());
            co_await wake_.async_wait(kAwait);
        }
        reply = server_.routes().finish(std::move(reply));
        const bool keep_alive = request.keep_alive() && !server_.stopping();
        if (!co_await send(reply, request.version(), keep_alive,
                           request.method() == http::verb::head)) {
            break;
        }
        if (!keep_alive) break;
    }
    boost::system::error_code ignored;
    stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
}

asio::awaitable<void> ConsoleSession::stream_events() {
    // Close-delimited: the stream ends when the connection does.
    std::string head =
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: text/event-stream\r\n"
        "Cache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "Connection: close\r\n\r\n"
        ": stream open\n\n";
    streaming_ = true;
    // Each write must end within the write timeout: a client that stops reading has
    // its stream closed, not its events kept.
    const auto write_timeout = server_.limits().write_timeout;
    stream_.expires_after(write_timeout);
    auto [error, written] = co_await asio::async_write(stream_, asio::buffer(head), kAwait);
    stream_.expires_never();
    while (!error && !dropped_ && !server_.stopping()) {
        if (events_.empty()) {
            wake_.expires_after(kHeartbeat);
            auto [waited] = co_await wake_.async_wait(kAwait);
            if (!waited && events_.empty()) {  // the heartbeat, not an event
                static const std::string kComment = ": keep-alive\n\n";
                stream_.expires_after(write_timeout);
                std::tie(error, written) =
                    co_await asio::async_write(stream_, asio::buffer(kComment), kAwait);
                stream_.expires_never();
            }
            continue;
        }
        std::string text = std::move(events_.front());
        events_.pop_front();
        event_bytes_ -= text.size();
        stream_.expires_after(write_timeout);
        std::tie(error, written) = co_await asio::async_write(stream_, asio::buffer(text), kAwait);
        stream_.expires_never();
    }
    streaming_ = false;
}

}  // namespace latchwork::server
