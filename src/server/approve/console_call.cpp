// console_call.cpp: one HTTP(S) call to a running gate's console, for the approver commands.
//
// Run once per call on an io_context of its own: a command makes a handful of calls,
// so nothing is kept open between them.
#include "server/approve/console_call.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <exception>

#include "server/notify/webhook_post.h"

namespace latchwork::server {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
// A console on the same network answers in well under this; a stuck one ends the command.
constexpr auto kCallTimeout = std::chrono::seconds(30);
constexpr std::size_t kMaxAnswerBytes = 16 * 1024 * 1024;  // a page of 1000 large details

Failure failed(const std::string& what, const boost::system::error_code& error) {
    return Failure{what + ": " + error.message()};
}

template <class Stream>
asio::awaitable<Result<ConsoleAnswer>> exchange(Stream& stream, http::request<http::string_body>& request) {
    auto [written, sent] = co_await http::async_write(stream, request, kAwait);
    if (written) co_return failed("sending", written);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(kMaxAnswerBytes);
    auto [read, bytes] = co_await http::async_read(stream, buffer, parser, kAwait);
    if (read) co_return failed("reading the answer", read);
    co_return ConsoleAnswer{parser.get().result_int(), std::move(parser.get().body())};
}

asio::awaitable<Result<ConsoleAnswer>> attempt(const NotifyTarget& console,
                                               http::request<http::string_body>& request) {
    auto executor = co_await asio::this_coro::executor;
    asio::ip::tcp::resolver resolver(executor);
    auto [resolve_error, endpoints] = co_await resolver.async_resolve(console.host, console.port, kAwait);
    if (resolve_error) co_return failed("resolving " + console.host, resolve_error);
    beast::tcp_stream tcp(executor);
    tcp.expires_after(kCallTimeout);  // bounds every step, TLS included
    auto [connect_error, at] = co_await tcp.async_connect(endpoints, kAwait);
    if (connect_error) co_return failed("connecting to " + console.shown, connect_error);
    if (!console.tls) co_return co_await exchange(tcp, request);

    Result<std::unique_ptr<asio::ssl::context>> tls = make_notify_tls_context(std::nullopt);
    if (!tls) co_return std::move(tls).take_failure();
    asio::ssl::stream<beast::tcp_stream> stream(std::move(tcp), *tls.value());
    boost::system::error_code not_address;
    asio::ip::make_address(console.host, not_address);
    if (not_address) SSL_set_tlsext_host_name(stream.native_handle(), console.host.c_str());
    stream.set_verify_mode(asio::ssl::verify_peer);
    stream.set_verify_callback(asio::ssl::host_name_verification(console.host));
    auto [handshake_error] = co_await stream.async_handshake(asio::ssl::stream_base::client, kAwait);
    if (handshake_error) co_return failed("TLS handshake with " + console.shown, handshake_error);
    co_return co_await exchange(stream, request);
}

}  // namespace

Result<NotifyTarget> parse_console_url(std::string_view url) {
    if (url.starts_with("slack+")) return Failure{"--console: an http:// or https:// address"};
    Result<NotifyTarget> parsed = parse_notify_target(url);
    if (!parsed) return Failure{"--console: " + parsed.error()};
    NotifyTarget console = std::move(parsed).value();
    // The console's URLs are appended to its path: no slash twice.
    while (!console.target.empty() && console.target.back() == '/') console.target.pop_back();
    return console;
}

Result<ConsoleAnswer> call_console(const NotifyTarget& console, std::string_view method,
                                   std::string_view path, std::string_view token,
                                   const std::string& json_body) {
    http::request<http::string_body> request{http::string_to_verb(method),
                                             console.target + std::string(path), 11};
    const bool bracketed = console.host.find(':') != std::string::npos;
    request.set(http::field::host,
                (bracketed ? "[" + console.host + "]" : console.host) + ":" + console.port);
    request.set(http::field::user_agent, "latchwork-gate");
    request.set(http::field::authorization, "Bearer " + std::string(token));
    request.set(http::field::connection, "close");
    if (!json_body.empty()) {
        request.set(http::field::content_type, "application/json");
        request.body() = json_body;
    }
    request.prepare_payload();

    asio::io_context io;
    std::optional<Result<ConsoleAnswer>> outcome;
    asio::co_spawn(
        io, [&]() -> asio::awaitable<void> { outcome.emplace(co_await attempt(console, request)); },
        [](std::exception_ptr fault) {
            if (fault) std::rethrow_exception(fault);
        });
    io.run();
    return std::move(*outcome);
}

}  // namespace latchwork::server
