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
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/notify/notify_target.h"
#include "server/notify/webhook_post.h"
#include "server/store/request_handler.h"
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

// Also watches the decisions made (an observer of the request handler): an approval
// clicked in the chat has its message told again once its worker takes it.
class ChatActions final : public RequestObserver {
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

    // An approval clicked in the chat is about to be decided: should its worker take it,
    // the message at `to` says so. forget() when it did not approve the effect (what
    // another approver's click is watching stays).
    void approving(const std::string& run_id, const std::string& effect_key, const NotifyTarget& to,
                   const std::string& approver);
    void forget(const std::string& run_id, const std::string& effect_key, const std::string& approver);
    // The approval is durable: what replaces its message now, "Approved by ada — waiting
    // for its worker", or "... — taken by its worker" when the worker was first.
    std::string approved_outcome(const std::string& run_id, const std::string& effect_key,
                                 const std::string& approver);

    // Tells the message of a watched approval that its worker took it, on `executor`.
    void set_executor(boost::asio::any_io_executor executor) { executor_ = std::move(executor); }
    void handled(const Decision& decision) override;

private:
    struct Watched {
        NotifyTarget respond_to;
        std::string approver;
        bool taken = false;  // its worker took it before the approval's outcome was told
        bool told = false;   // the outcome was told: a take is told on its own
    };
    // At most this many approvals are watched; the oldest key goes first.
    static constexpr std::size_t kMaxWatched = 4096;

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
    std::map<std::pair<std::string, std::string>, Watched> watched_;
    std::optional<boost::asio::any_io_executor> executor_;
};

// What replaces the clicked message: {"replace_original":true,"text":TEXT,"blocks":[...]},
// the outcome with the effect it is about.
std::string chat_replacement(std::string_view outcome, std::string_view run_id, std::string_view effect_key);

// What only the person who clicked sees: {"response_type":"ephemeral","replace_original":false,"text":TEXT}.
std::string chat_ephemeral(std::string_view text);

}  // namespace latchwork::server
