// webhook_post.cpp: one POST of a notification to its receiver, over HTTP or HTTPS, bounded in time and size.
#include "server/notify/webhook_post.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>

namespace latchwork::server {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t kMaxResponseHeader = 16 * 1024;
constexpr std::chrono::milliseconds kBodyGrace{500};

std::string openssl_reason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown reason";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

PostOutcome failed(std::string what, const boost::system::error_code& error) {
    return PostOutcome{false, 0, what + ": " + error.message()};
}

// Writes the request and reads the answer's status, and at most the body's cap.
template <class Stream>
asio::awaitable<PostOutcome> exchange(Stream& stream, http::request<http::string_body>& request,
                                      const PostLimits& limits) {
    auto [written, sent] = co_await http::async_write(stream, request, kAwait);
    if (written) co_return failed("sending", written);
    beast::flat_buffer buffer(kMaxResponseHeader + limits.max_response_bytes);
    http::response_parser<http::string_body> parser;
    parser.header_limit(kMaxResponseHeader);
    parser.body_limit(limits.max_response_bytes);
    auto [header_read, header_bytes] = co_await http::async_read_header(stream, buffer, parser, kAwait);
    if (header_read) co_return failed("reading the answer", header_read);
    const unsigned status = parser.get().result_int();
    // What is left of the body is read up to its cap, and for a moment at most, only so
    // the receiver sees a clean close; whatever it says does not change the outcome.
    beast::get_lowest_layer(stream).expires_after(kBodyGrace);
    co_await http::async_read(stream, buffer, parser, kAwait);
    PostOutcome outcome;
    outcome.status = status;
    outcome.delivered = status >= 200 && status < 300;
    if (!outcome.delivered) {
        outcome.problem = "HTTP " + std::to_string(status);
        if (status >= 300 && status < 400) outcome.problem += " (redirects are not followed)";
    }
    co_return outcome;
}

asio::awaitable<PostOutcome> attempt(const NotifyTarget& target, asio::ssl::context& tls,
                                     http::request<http::string_body>& request,
                                     const PostLimits& limits,
                                     std::chrono::steady_clock::time_point deadline) {
    auto executor = co_await asio::this_coro::executor;
    asio::ip::tcp::resolver resolver(executor);
    auto [resolve_error, endpoints] = co_await resolver.async_resolve(target.host, target.port, kAwait);
    if (resolve_error) co_return failed("resolving " + target.host, resolve_error);
    beast::tcp_stream tcp(executor);
    tcp.expires_at(std::min(deadline, std::chrono::steady_clock::now() + limits.connect_timeout));
    auto [connect_error, at] = co_await tcp.async_connect(endpoints, kAwait);
    if (connect_error) co_return failed("connecting", connect_error);
    // The stream's own timer bounds every step from here, whatever the TLS layer does.
    tcp.expires_at(deadline);
    if (!target.tls) co_return co_await exchange(tcp, request, limits);

    asio::ssl::stream<beast::tcp_stream> stream(std::move(tcp), tls);
    boost::system::error_code not_address;
    asio::ip::make_address(target.host, not_address);
    // Server name indication for names only: an address is never sent as one.
    if (not_address && !SSL_set_tlsext_host_name(stream.native_handle(), target.host.c_str())) {
        co_return PostOutcome{false, 0, "TLS: " + openssl_reason()};
    }
    stream.set_verify_mode(asio::ssl::verify_peer);
    stream.set_verify_callback(asio::ssl::host_name_verification(target.host));
    auto [handshake_error] = co_await stream.async_handshake(asio::ssl::stream_base::client, kAwait);
    if (handshake_error) co_return failed("TLS handshake", handshake_error);
    PostOutcome outcome = co_await exchange(stream, request, limits);
    // A polite close is not waited for: the answer is in.
    beast::get_lowest_layer(stream).close();
    co_return outcome;
}

}  // namespace

Result<std::unique_ptr<asio::ssl::context>> make_notify_tls_context(
    const std::optional<std::string>& ca_file) {
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    boost::system::error_code error;
    if (ca_file) {
        context->load_verify_file(*ca_file, error);
        if (error) return Failure{"--notify-ca-file " + *ca_file + ": " + error.message()};
    } else {
        context->set_default_verify_paths(error);
        if (error) return Failure{"the system's CA certificates: " + error.message()};
    }
    context->set_verify_mode(asio::ssl::verify_peer);
    return context;
}

asio::awaitable<PostOutcome> post_notification(
    const NotifyTarget& target, asio::ssl::context& tls,
    const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body,
    const PostLimits& limits) {
    http::request<http::string_body> request{http::verb::post, target.target, 11};
    const bool bracketed = target.host.find(':') != std::string::npos;
    const bool default_port = target.port == (target.tls ? "443" : "80");
    request.set(http::field::host, (bracketed ? "[" + target.host + "]" : target.host) +
                                       (default_port ? "" : ":" + target.port));
    request.set(http::field::user_agent, "latchwork-gate");
    request.set(http::field::content_type, "application/json");
    request.set(http::field::connection, "close");
    for (const auto& [name, value] : headers) request.set(name, value);
    request.body() = body;
    request.prepare_payload();

    const auto deadline = std::chrono::steady_clock::now() + limits.total_timeout;
    // The stream's timer ends a stalled exchange; this one also ends a name lookup
    // that hangs, a little later so that the stream's own error is the one told.
    asio::steady_timer backstop(co_await asio::this_coro::executor, deadline + kBodyGrace * 2);
    auto first = co_await (attempt(target, tls, request, limits, deadline) ||
                           backstop.async_wait(asio::as_tuple(asio::use_awaitable)));
    if (first.index() == 1) {
        co_return PostOutcome{false, 0, "no answer within " +
                                            std::to_string(limits.total_timeout.count()) + " ms"};
    }
    co_return std::get<0>(std::move(first));
}

}  // namespace latchwork::server
