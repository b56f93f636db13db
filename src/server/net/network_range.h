// network_range.h: an --allow network (CIDR) and whether a peer's address is in it.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <array>
#include <cstdint>
#include <string_view>

#include "support/result.h"

namespace latchwork::server {

// An IPv4 network is kept as its IPv4-mapped IPv6 network, so that one comparison
// serves peers of an IPv4 socket and IPv4 peers of a dual-stack IPv6 socket alike.
class NetworkRange {
public:
    // "ADDRESS/BITS" or a bare address (one host: /32 or /128). An IPv6 address may be
    // written in brackets. Host bits set below the prefix are refused, since they most
    // often mean a mistyped network. Fails with the reason alone.
    static Result<NetworkRange> parse(std::string_view text);

    bool contains(const boost::asio::ip::address& address) const noexcept;

private:
    std::array<std::uint8_t, 16> network_{};
    unsigned prefix_ = 0;  // of the 128 bits of the mapped form
};

// Whether a listen address reaches only this host: 127.0.0.0/8, ::1 or an IPv4-mapped
// loopback. The unspecified address (0.0.0.0, ::) listens on every interface.
bool is_loopback(const boost::asio::ip::address& address) noexcept;

}  // namespace latchwork::server
