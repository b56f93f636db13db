// socket_address.cpp: from a gate address text to the socket addresses to try, in order.
#include "client/socket_address.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "client/os_error.h"
#include "client/socket_calls.h"

namespace latchwork {
namespace {

// A decimal number of at least one digit and nothing else, at most `max`.
std::optional<std::uint32_t> parse_decimal(std::string_view text, std::uint32_t max) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

// The port of a host:port text: like a literal's port, but a leading '+' is allowed.
std::optional<std::uint16_t> parse_port(std::string_view text) {
    if (text.size() > 1 && text.front() == '+') {
        text.remove_prefix(1);
    }
    const auto value = parse_decimal(text, 65535);
    return value ? std::optional<std::uint16_t>(static_cast<std::uint16_t>(*value)) : std::nullopt;
}

// inet_pton needs a terminated string; a NUL inside the text must not cut it short.
bool parse_ip(int family, std::string_view text, void* out) {
    if (text.find('\0') != std::string_view::npos) {
        return false;
    }
    return inet_pton(family, std::string(text).c_str(), out) == 1;
}

std::optional<SocketAddress> parse_ipv4_literal(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto port = parse_decimal(text.substr(colon + 1), 65535);
    sockaddr_in address{};
    if (!port || !parse_ip(AF_INET, text.substr(0, colon), &address.sin_addr)) {
        return std::nullopt;
    }
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(*port));
    SocketAddress result;
    std::memcpy(&result.storage, &address, sizeof address);
    result.length = sizeof address;
    return result;
}

std::optional<SocketAddress> parse_ipv6_literal(std::string_view text) {
    const std::size_t close = text.find(']');
    if (text.empty() || text.front() != '[' || close == std::string_view::npos ||
        text.substr(close + 1, 1) != ":") {
        return std::nullopt;
    }
    const auto port = parse_decimal(text.substr(close + 2), 65535);
    std::string_view host = text.substr(1, close - 1);
    std::optional<std::uint32_t> scope = 0;
    if (const std::size_t percent = host.find('%'); percent != std::string_view::npos) {
        scope = parse_decimal(host.substr(percent + 1), 0xFFFFFFFF);
        host = host.substr(0, percent);
    }
    sockaddr_in6 address{};
    if (!port || !scope || !parse_ip(AF_INET6, host, &address.sin6_addr)) {
        return std::nullopt;
    }
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(*port));
    address.sin6_scope_id = *scope;
    SocketAddress result;
    std::memcpy(&result.storage, &address, sizeof address);
    result.length = sizeof address;
    return result;
}

struct AddrinfoDeleter {
    void operator()(addrinfo* list) const noexcept { freeaddrinfo(list); }
};

}  // namespace

std::optional<SocketAddress> parse_socket_address_literal(std::string_view text) {
    if (auto v4 = parse_ipv4_literal(text)) {
        return v4;
    }
    return parse_ipv6_literal(text);
}

Result<HostAndPort> split_host_and_port(std::string_view addr) {
    const std::size_t colon = addr.rfind(':');
    if (colon == std::string_view::npos) {
        return Failure{"invalid socket address"};
    }
    const std::string_view host = addr.substr(0, colon);
    const auto port = parse_port(addr.substr(colon + 1));
    if (!port) {
        return Failure{"invalid port value"};
    }
    if (host.find('\0') != std::string_view::npos) {
        return Failure{"file name contained an unexpected NUL byte"};
    }
    return HostAndPort{host, *port};
}

Result<std::vector<SocketAddress>> resolve_gate_address(std::string_view addr) {
    if (auto literal = parse_socket_address_literal(addr)) {
        return std::vector<SocketAddress>{*literal};
    }
    Result<HostAndPort> split = split_host_and_port(addr);
    if (!split) {
        return std::move(split).take_failure();
    }
    const auto [host, port] = split.value();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    start_socket_library();
    errno = 0;
    const int rc = getaddrinfo(std::string(host).c_str(), nullptr, &hints, &raw);
    const int saved_errno = errno;
    std::unique_ptr<addrinfo, AddrinfoDeleter> list(raw);
    if (rc != 0) {
        return Failure{resolver_error_text(rc, saved_errno)};
    }

    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        SocketAddress address;
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in v4;
            std::memcpy(&v4, entry->ai_addr, sizeof v4);
            v4.sin_port = htons(port);
            std::memcpy(&address.storage, &v4, sizeof v4);
            address.length = sizeof v4;
        } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 v6;
            std::memcpy(&v6, entry->ai_addr, sizeof v6);
            v6.sin6_port = htons(port);
            std::memcpy(&address.storage, &v6, sizeof v6);
            address.length = sizeof v6;
        } else {
            continue;
        }
        addresses.push_back(address);
    }
    if (addresses.empty()) {
        return Failure{"could not resolve to any addresses"};
    }
    return addresses;
}

}  // namespace latchwork
