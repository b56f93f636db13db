// listen_address.cpp: from the --listen text to the endpoint to bind, and back to text.
//
// The same address forms as the client's: its resolver is reused, so a server and a
// client given the same text mean the same endpoint.
#include "server/net/listen_address.h"

#include <cstring>

#include "client/socket_address.h"

namespace latchwork::server {

Result<boost::asio::ip::tcp::endpoint> parse_listen_address(std::string_view text) {
    Result<std::vector<SocketAddress>> resolved = resolve_gate_address(text);
    if (!resolved) {
        return Failure{"invalid listen address \"" + std::string(text) + "\": " + resolved.error()};
    }
    const SocketAddress& first = resolved.value().front();
    boost::asio::ip::tcp::endpoint endpoint;
    std::memcpy(endpoint.data(), first.get(), first.length);
    endpoint.resize(first.length);
    return endpoint;
}

std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint) {
    const std::string host = endpoint.address().to_string();
    const std::string port = std::to_string(endpoint.port());
    return endpoint.address().is_v6() ? "[" + host + "]:" + port : host + ":" + port;
}

Result<boost::asio::ip::tcp::endpoint> listen_on(boost::asio::ip::tcp::acceptor& acceptor,
                                                 const boost::asio::ip::tcp::endpoint& at) {
    namespace asio = boost::asio;
    boost::system::error_code error;
    auto failed = [&](const char* step) {
        return Failure{std::string(step) + " failed: " + error.message()};
    };
    acceptor.open(at.protocol(), error);
    if (error) return failed("socket");
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    if (error) return failed("setsockopt");
    acceptor.bind(at, error);
    if (error) return failed("bind");
    acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) return failed("listen");
    asio::ip::tcp::endpoint bound = acceptor.local_endpoint(error);
    if (error) return failed("getsockname");
    return bound;
}

}  // namespace latchwork::server
