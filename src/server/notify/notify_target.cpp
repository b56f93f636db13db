// notify_target.cpp: one --notify URL, read into what a POST to it needs.
#include "server/notify/notify_target.h"

#include <cstdio>

#include "hmac/sha256.h"

namespace latchwork::server {
namespace {

std::string hex(const Sha256Digest& digest) {
    std::string text;
    text.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

bool is_port(std::string_view text) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

}  // namespace

Result<NotifyTarget> parse_notify_target(std::string_view url) {
    NotifyTarget parsed;
    parsed.url = std::string(url);
    std::string_view rest = url;
    constexpr std::string_view kSlack = "slack+";
    if (rest.starts_with(kSlack)) {
        parsed.format = NotifyFormat::slack;
        rest.remove_prefix(kSlack.size());
    }
    const auto refuse = [&](std::string_view why) {
        return Failure{"--notify: " + std::string(why) +
                       " (http://HOST[:PORT]/PATH, https://..., or slack+https://...)"};
    };
    if (rest.starts_with("https://")) {
        parsed.tls = true;
        rest.remove_prefix(8);
    } else if (rest.starts_with("http://")) {
        rest.remove_prefix(7);
    } else {
        return refuse("not an http:// or https:// URL");
    }
    const std::size_t path_at = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, path_at);
    std::string_view target = path_at == std::string_view::npos ? std::string_view() : rest.substr(path_at);
    if (target.find('#') != std::string_view::npos) return refuse("a fragment is never sent");
    for (char c : target) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return refuse("a space or control byte in the path");
    }
    if (authority.find('@') != std::string_view::npos) return refuse("user information in the URL");
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with("[")) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return refuse("an unclosed [IPv6] host");
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (!after.starts_with(":")) return refuse("junk after the [IPv6] host");
            port = after.substr(1);
        }
    } else if (const std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.empty()) return refuse("no host");
    if (!port.empty() && !is_port(port)) return refuse("a port that is not 1 to 65535");
    parsed.host = std::string(host);
    parsed.port = port.empty() ? (parsed.tls ? "443" : "80") : std::string(port);
    parsed.target = target.empty() ? "/" : std::string(target);
    if (parsed.target.front() == '?') parsed.target.insert(0, "/");
    Sha256 digest;
    digest.update(url);
    parsed.key = hex(finalize(digest));
    parsed.shown = std::string(parsed.format == NotifyFormat::slack ? "slack+" : "") +
                   (parsed.tls ? "https://" : "http://") + std::string(authority) +
                   (parsed.target == "/" ? "/" : "/…");
    return parsed;
}

}  // namespace latchwork::server
