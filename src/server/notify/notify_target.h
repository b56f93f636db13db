// notify_target.h: one --notify URL, read into what a POST to it needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/result.h"

namespace latchwork::server {

enum class NotifyFormat : std::uint8_t {
    webhook,  // the signed JSON body of every notification
    slack,    // a chat message for a Slack-style incoming webhook (slack+https://...)
};

struct NotifyTarget {
    std::string url;  // as given, prefix included: secret for chat hooks, never shown
    NotifyFormat format = NotifyFormat::webhook;
    bool tls = false;
    std::string host;    // without brackets for IPv6
    std::string port;    // "80" or "443" when none was given
    std::string target;  // path and query, "/" at least
    std::string key;     // hex SHA-256 of `url`: names the target in the store and in ids
    std::string shown;   // "https://host:port/…": the URL without its path, safe to show
};

// "http://HOST[:PORT]/PATH", "https://...", or either behind "slack+" for the chat
// format. No user information, no fragment, a host that is not empty.
Result<NotifyTarget> parse_notify_target(std::string_view url);

}  // namespace latchwork::server
