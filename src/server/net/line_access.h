// line_access.h: who may speak to the line port, and the hello that names a client.
//
// Without rules (neither --allow nor --clients) every peer may speak, as before
// rules existed; the server then listens on loopback only. With rules, a peer speaks
// without hello only when an --allow network holds its address (loopback gets no
// pass of its own: on a shared host every local user reaches loopback); any other
// peer may ping, and must otherwise say hello with a client token first.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/client_tokens.h"
#include "server/core/line_client.h"
#include "server/core/log_throttle.h"
#include "server/core/reply.h"
#include "server/net/hello_failures.h"
#include "server/net/network_range.h"

namespace latchwork::server {

class LineAccess {
public:
    LineAccess(std::vector<NetworkRange> allow, std::optional<ClientTokens> clients)
        : allow_(std::move(allow)), clients_(std::move(clients)) {}

    // A new connection's identity: its address text, and whether it may speak unnamed.
    Peer peer_for(const boost::asio::ip::tcp::endpoint& remote) const;

    // What the access rules answer to a line themselves: a hello's reply, or the
    // refusal of a peer that may not speak; `close` ends the connection after it. A
    // hello's reply to an address that sent wrong ones waits `delay` before it goes,
    // and nothing after it on that connection is read meanwhile (hello_failures.h).
    struct Screened {
        Reply reply;
        bool close = false;
        std::chrono::milliseconds delay{0};
    };
    // nullopt when the line goes to the request handler as it stands. A good hello
    // sets `peer.client`; a wrong one is counted against `from`, and written on standard
    // error (at most one such line a second). With no --clients, hello is not an
    // operation of this server and goes to the handler, which answers "unknown op:
    // hello" as it always has.
    std::optional<Screened> screen(std::string_view line, Peer& peer,
                                   const boost::asio::ip::address& from);

    // Wrong hellos (an unknown client or a wrong token) since start, for /metrics.
    std::uint64_t hello_failures() const noexcept { return failures_.total(); }

private:
    void log_refused_hello(const Peer& peer, std::string_view name,
                           std::chrono::steady_clock::time_point now);

    std::vector<NetworkRange> allow_;
    std::optional<ClientTokens> clients_;
    HelloFailures failures_;
    LogThrottle refusal_log_{std::chrono::seconds(1)};
};

// Why the server must not start on `listen` with no access rules given, or nullopt:
// a non-loopback address would let anyone who can reach it decide.
std::optional<std::string> unprotected_listen_problem(const boost::asio::ip::address& listen,
                                                      bool rules_given);

}  // namespace latchwork::server
