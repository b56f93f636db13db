// chat_actions.h: an approver's click on Approve or Reject in a chat message, as the chat platform calls back with it.
//
// The platform POSTs the click to the console's /chat/actions as a form with one field,
// `payload`, the JSON of a block_actions interaction. No bearer token comes with it:
// the platform signs the raw body with the app's signing secret instead, and only a
// signed, fresh callback decides anything. The outcome goes back to the person through
// the interaction's response_url, which replaces the message or answers them alone.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ssl/context.hpp>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/notify/notify_target.h"
#include "server/notify/webhook_post.h"
#include "support/result.h"
#include "support/secret_bytes.h"

namespace latchwork::server {

// How far a callback's timestamp may be from this server's clock, either way.
inline constexpr std::int64_t kChatClockSkewSeconds = 5 * 60;

// "v0=" and the lowercase hex HMAC-SHA-256 of "v0:TIMESTAMP:BODY" keyed with `secret`.
std::string chat_request_signature(std::span<const std::uint8_t> secret, std::string_view timestamp,
                                   std::string_view body);

// One click, read from a verified callback.
struct ChatClick {
    std::string user;  // the platform's id of who clicked
    bool approve = false;
    std::string run_id;
    std::string effect_key;
    NotifyTarget respond_to;  // the interaction's response_url
};

class ChatActions {
public:
    // `secret`: the app's signing secret. `hosts`: those of the chat targets, the only
    // ones a response_url may name. `tls`: checks their certificates (the notifier's CAs).
    ChatActions(SecretBytes secret, std::vector<std::string> hosts,
                std::unique_ptr<boost::asio::ssl::context> tls, PostLimits limits = quick_limits());

    // Whether `signature` is the platform's for `body` sent at `timestamp` (Unix
    // seconds), within kChatClockSkewSeconds of `now_s`. Compared in constant time.
    bool verified(std::string_view signature, std::string_view timestamp, std::string_view body,
                  std::int64_t now_s) const;

    // The click a verified form body reports, or why it is not one this console takes.
    Result<ChatClick> read_click(std::string_view body) const;

    // POSTs `message` (JSON) to `to` in the background, on `executor`; a failure is said
    // on standard error.
    void respond(const boost::asio::any_io_executor& executor, NotifyTarget to, std::string message);

private:
    static PostLimits quick_limits() {
        PostLimits limits;
        limits.connect_timeout = std::chrono::seconds(3);
        limits.total_timeout = std::chrono::seconds(5);
        return limits;
    }

    SecretBytes secret_;
    std::vector<std::string> hosts_;
    std::unique_ptr<boost::asio::ssl::context> tls_;
    PostLimits limits_;
};

// What replaces the clicked message: {"replace_original":true,"text":TEXT,"blocks":[...]},
// the outcome with the effect it is about.
std::string chat_replacement(std::string_view outcome, std::string_view run_id, std::string_view effect_key);

// What only the person who clicked sees: {"response_type":"ephemeral","replace_original":false,"text":TEXT}.
std::string chat_ephemeral(std::string_view text);

}  // namespace latchwork::server
