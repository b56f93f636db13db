// socket_address.h: from a gate address text to the socket addresses to try, in order.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "client/platform_socket.h"
#include "support/result.h"

namespace latchwork {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const noexcept { return storage.ss_family; }
    const sockaddr* get() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
};

// An IPv4 address and port ("192.0.2.1:8796") or a bracketed IPv6 address with an
// optional numeric scope id and a port ("[fe80::1%2]:8796"); nullopt for anything else.
std::optional<SocketAddress> parse_socket_address_literal(std::string_view text);

// The host and port of an address that is not a socket-address literal: split at
// the last ':'; the port is decimal 0-65535 with an optional leading '+'. Fails with
// "invalid socket address", "invalid port value" or "file name contained an
// unexpected NUL byte" (for a NUL in the host).
struct HostAndPort {
    std::string_view host;
    std::uint16_t port;
};
Result<HostAndPort> split_host_and_port(std::string_view addr);

// The addresses to try for `addr`: a socket-address literal as it stands; otherwise
// host and port split at the last ':' and the host resolved (IPv4 and IPv6 results
// in the resolver's order). Fails as split_host_and_port does, with the resolver's
// error text, or with "could not resolve to any addresses".
Result<std::vector<SocketAddress>> resolve_gate_address(std::string_view addr);

}  // namespace latchwork
