// loopback_guard.cpp: what the console without tokens takes only from its own page.
#include "server/console/loopback_guard.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>

namespace latchwork::server {
namespace {

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

bool is_loopback_host(std::string_view host) {
    if (equal_ignoring_case(host, "localhost")) return true;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return false;  // an IPv6 address must stand in brackets
    }
    boost::system::error_code error;
    const boost::asio::ip::address address =
        boost::asio::ip::make_address(std::string(host), error);
    return !error && address.is_loopback();
}

// "HOST:PORT" (or "HOST" for port 80, as a browser writes it) naming this console.
bool names_this_console(std::string_view authority, unsigned short port) {
    std::string_view host = authority;
    unsigned given = 80;
    const std::size_t colon = authority.rfind(':');
    const std::size_t bracket = authority.rfind(']');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        host = authority.substr(0, colon);
        const std::string_view digits = authority.substr(colon + 1);
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), given);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
            return false;
        }
    }
    return given == port && is_loopback_host(host);
}

bool is_json_type(std::string_view content_type) {
    std::string_view media = content_type.substr(0, content_type.find(';'));
    while (!media.empty() && media.back() == ' ') media.remove_suffix(1);
    return equal_ignoring_case(media, "application/json");
}

}  // namespace

std::optional<HttpReply> refuse_foreign_call(const CallOrigin& call, unsigned short port) {
    if (!names_this_console(call.host, port)) {
        return error_reply(421, "Host must name this console by a loopback name or address "
                                "and its port");
    }
    constexpr std::string_view kScheme = "http://";
    if (!call.origin.empty() && !(call.origin.starts_with(kScheme) &&
                                  names_this_console(call.origin.substr(kScheme.size()), port))) {
        return error_reply(403, "requests from another origin are refused");
    }
    if (call.method == "POST" && !is_json_type(call.content_type)) {
        return error_reply(415, "content type must be application/json");
    }
    return std::nullopt;
}

}  // namespace latchwork::server
