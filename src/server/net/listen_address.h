// listen_address.h: from the --listen text to the endpoint to bind, the bound listener, and back to text.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <string>
#include <string_view>

#include "support/result.h"

namespace latchwork::server {

// HOST:PORT where HOST is an IPv4 address, a bracketed IPv6 address or a name (the
// first address it resolves to is taken); PORT 0 asks for a free port. Fails with
// "invalid listen address \"TEXT\": " + the reason.
Result<boost::asio::ip::tcp::endpoint> parse_listen_address(std::string_view text);

// Opens, binds and listens on `acceptor`; the endpoint really bound (port 0 becomes a
// free port), or which step failed and why.
Result<boost::asio::ip::tcp::endpoint> listen_on(boost::asio::ip::tcp::acceptor& acceptor,
                                                 const boost::asio::ip::tcp::endpoint& at);

// "192.0.2.1:8796" or "[::1]:8796".
std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace latchwork::server
