// network_range.cpp: an --allow network (CIDR) and whether a peer's address is in it.
#include "server/net/network_range.h"

#include <charconv>
#include <string>

namespace latchwork::server {
namespace {

namespace ip = boost::asio::ip;

ip::address_v6::bytes_type mapped_bytes(const ip::address& address) {
    if (address.is_v4()) return ip::make_address_v6(ip::v4_mapped, address.to_v4()).to_bytes();
    return address.to_v6().to_bytes();
}

}  // namespace

Result<NetworkRange> NetworkRange::parse(std::string_view text) {
    std::string_view host = text;
    std::string_view bits;
    if (const std::size_t slash = text.find('/'); slash != std::string_view::npos) {
        host = text.substr(0, slash);
        bits = text.substr(slash + 1);
        if (bits.empty()) return Failure{"no prefix length after '/'"};
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    boost::system::error_code error;
    // make_address would take a scope ("%eth0"), which names no network.
    if (host.find('%') != std::string_view::npos) return Failure{"not an IP address"};
    const ip::address address = ip::make_address(std::string(host), error);
    if (error) return Failure{"not an IP address"};
    const unsigned width = address.is_v4() ? 32 : 128;
    unsigned length = width;
    if (!bits.empty()) {
        const auto [end, failed] = std::from_chars(bits.data(), bits.data() + bits.size(), length);
        if (failed != std::errc() || end != bits.data() + bits.size() || length > width ||
            bits.front() == '+' || (bits.size() > 1 && bits.front() == '0')) {
            return Failure{"the prefix length must be 0 to " + std::to_string(width)};
        }
    }
    NetworkRange range;
    range.network_ = mapped_bytes(address);
    range.prefix_ = length + (128 - width);
    for (unsigned bit = range.prefix_; bit < 128; ++bit) {
        if (range.network_[bit / 8] & (0x80u >> (bit % 8))) {
            return Failure{"host bits are set below the /" + std::to_string(length) + " prefix"};
        }
    }
    return range;
}

bool NetworkRange::contains(const ip::address& address) const noexcept {
    const ip::address_v6::bytes_type bytes = mapped_bytes(address);
    for (unsigned bit = 0; bit < prefix_; ++bit) {
        const std::uint8_t mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
        if ((bytes[bit / 8] & mask) != (network_[bit / 8] & mask)) return false;
    }
    return true;
}

bool is_loopback(const ip::address& address) noexcept {
    if (address.is_v4()) return address.to_v4().is_loopback();
    const ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped()) return ip::make_address_v4(ip::v4_mapped, v6).is_loopback();
    return v6.is_loopback();
}

}  // namespace latchwork::server
