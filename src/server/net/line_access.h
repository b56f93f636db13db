// line_access.h: who may speak to the line port, and the hello that names a client.
//
// Without rules (neither --allow nor --clients) every peer may speak, as before
// rules existed; the server then listens on loopback only. With rules, a peer speaks
// without hello only when an --allow network holds its address (loopback gets no
// pass of its own: on a shared host every local user reaches loopback); any other
// peer may ping, and must otherwise say hello with a client token first.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/client_tokens.h"
#include "server/core/line_client.h"
#include "server/core/reply.h"
#include "server/net/network_range.h"

namespace latchwork::server {

class LineAccess {
public:
    LineAccess(std::vector<NetworkRange> allow, std::optional<ClientTokens> clients)
        : allow_(std::move(allow)), clients_(std::move(clients)) {}

    // A new connection's identity: its address text, and whether it may speak unnamed.
    Peer peer_for(const boost::asio::ip::tcp::endpoint& remote) const;

    // What the access rules answer to a line themselves: a hello's reply, or the
    // refusal of a peer that may not speak; `close` ends the connection after it.
    struct Screened {
        Reply reply;
        bool close = false;
    };
    // nullopt when the line goes to the request handler as it stands. A good hello
    // sets `peer.client`. With no --clients, hello is not an operation of this server
    // and goes to the handler, which answers "unknown op: hello" as it always has.
    std::optional<Screened> screen(std::string_view line, Peer& peer) const;

private:
    std::vector<NetworkRange> allow_;
    std::optional<ClientTokens> clients_;
};

// Why the server must not start on `listen` with no access rules given, or nullopt:
// a non-loopback address would let anyone who can reach it decide.
std::optional<std::string> unprotected_listen_problem(const boost::asio::ip::address& listen,
                                                      bool rules_given);

}  // namespace latchwork::server
