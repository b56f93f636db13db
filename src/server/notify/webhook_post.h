// webhook_post.h: one POST of a notification to its receiver, over HTTP or HTTPS, bounded in time and size.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/notify/notify_target.h"
#include "support/result.h"

namespace latchwork::server {

struct PostLimits {
    std::chrono::milliseconds connect_timeout = std::chrono::seconds(5);
    std::chrono::milliseconds total_timeout = std::chrono::seconds(15);  // resolve to last byte
    std::size_t max_response_bytes = 64 * 1024;  // the rest of a reply is never read
};

struct PostOutcome {
    bool delivered = false;  // the receiver answered 2xx
    unsigned status = 0;     // 0: no answer at all
    std::string problem;     // why not delivered, one line
};

// A client context for every receiver: TLS 1.2 or later, the peer's certificate
// verified against the system's CAs, or against `ca_file` alone when one is given.
Result<std::unique_ptr<boost::asio::ssl::context>> make_notify_tls_context(
    const std::optional<std::string>& ca_file);

// POSTs `body` with `headers` to `target` on the calling coroutine's executor. A
// redirect is not followed (3xx is a failure, as is anything but 2xx); the host name
// is checked against the certificate over HTTPS.
boost::asio::awaitable<PostOutcome> post_notification(
    const NotifyTarget& target, boost::asio::ssl::context& tls,
    const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body,
    const PostLimits& limits);

}  // namespace latchwork::server
