// chat_actions.cpp: an approver's click on Approve or Reject in a chat message, as the chat platform calls back with it.
#include "server/console/chat_actions.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "hmac/hmac_sha256.h"
#include "server/console/url_text.h"
#include "server/core/diagnostics.h"
#include "server/notify/chat_message.h"
#include "server/notify/webhook_body.h"
#include "support/constant_time.h"

namespace latchwork::server {
namespace asio = boost::asio;
namespace json = boost::json;

namespace {

// Room for the effect's names in a replaced message: a section holds 3000 characters.
constexpr std::size_t kNameClip = 300;

std::string lower(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

const json::string* string_at(const json::object& object, std::string_view name) {
    const json::value* value = object.if_contains(name);
    return value != nullptr ? value->if_string() : nullptr;
}

json::object plain(std::string text) {
    return json::object{{"type", "plain_text"}, {"text", std::move(text)}, {"emoji", false}};
}

// Holds the message and the target while the POST runs, for as long as it runs.
asio::awaitable<void> post_response(NotifyTarget to, std::string message, asio::ssl::context& tls,
                                    PostLimits limits) {
    const PostOutcome outcome = co_await post_notification(to, tls, {}, message, limits);
    if (!outcome.delivered) diagnose("chat response to " + to.shown + ": " + outcome.problem);
}

}  // namespace

std::string chat_request_signature(std::span<const std::uint8_t> secret, std::string_view timestamp,
                                   std::string_view body) {
    const std::array<std::span<const std::uint8_t>, 4> pieces{byte_span("v0:"), byte_span(timestamp),
                                                              byte_span(":"), byte_span(body)};
    const Sha256Digest mac = hmac_sha256_pieces(secret, pieces);
    std::string text = "v0=";
    for (std::uint8_t byte : mac) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

ChatActions::ChatActions(SecretBytes secret, std::vector<std::string> hosts,
                         std::unique_ptr<asio::ssl::context> tls, PostLimits limits)
    : secret_(std::move(secret)), tls_(std::move(tls)), limits_(limits) {
    for (const std::string& host : hosts) hosts_.push_back(lower(host));
}

bool ChatActions::verified(std::string_view signature, std::string_view timestamp, std::string_view body,
                           std::int64_t now_s) const {
    std::int64_t sent = 0;
    const auto [end, error] = std::from_chars(timestamp.data(), timestamp.data() + timestamp.size(), sent);
    if (timestamp.empty() || error != std::errc() || end != timestamp.data() + timestamp.size()) return false;
    // Compared as a difference of whole numbers that cannot overflow: both are near now.
    if (sent < now_s - kChatClockSkewSeconds || sent > now_s + kChatClockSkewSeconds) return false;
    return constant_time_equal(chat_request_signature(secret_.view(), timestamp, body), signature);
}

Result<ChatClick> ChatActions::read_click(std::string_view body) const {
    const auto pairs = parse_query(body);
    if (!pairs) return Failure{"the body is not a percent-encoded form"};
    const auto payload = std::ranges::find_if(*pairs, [](const auto& pair) { return pair.first == "payload"; });
    if (payload == pairs->end()) return Failure{"the form has no payload"};
    boost::system::error_code error;
    const json::value parsed = json::parse(payload->second, error);
    const json::object* interaction = error ? nullptr : parsed.if_object();
    if (interaction == nullptr) return Failure{"the payload is not a JSON object"};
    const json::string* type = string_at(*interaction, "type");
    if (type == nullptr || *type != "block_actions") return Failure{"only block_actions interactions are taken"};
    const json::value* user = interaction->if_contains("user");
    const json::string* user_id = user != nullptr && user->is_object() ? string_at(user->get_object(), "id") : nullptr;
    if (user_id == nullptr || user_id->empty()) return Failure{"the payload names no user.id"};
    const json::value* actions = interaction->if_contains("actions");
    if (actions == nullptr || !actions->is_array() || actions->get_array().empty() ||
        !actions->get_array()[0].is_object()) {
        return Failure{"the payload holds no action"};
    }
    const json::object& action = actions->get_array()[0].get_object();
    const json::string* action_id = string_at(action, "action_id");
    if (action_id == nullptr || (*action_id != "approve" && *action_id != "reject")) {
        return Failure{"the action is neither approve nor reject"};
    }
    const json::string* value = string_at(action, "value");
    std::optional<std::pair<std::string, std::string>> effect =
        value != nullptr ? read_chat_button_value(*value) : std::nullopt;
    if (!effect) return Failure{"the action's value names no effect"};
    const json::string* response_url = string_at(*interaction, "response_url");
    if (response_url == nullptr) return Failure{"the payload has no response_url"};
    Result<NotifyTarget> target = parse_notify_target(*response_url);
    if (!target || !target.value().tls || target.value().format != NotifyFormat::webhook ||
        std::ranges::find(hosts_, lower(target.value().host)) == hosts_.end()) {
        return Failure{"the response_url is not an https:// URL on the host of a chat target"};
    }
    ChatClick click;
    click.user = std::string(*user_id);
    click.approve = *action_id == "approve";
    click.run_id = std::move(effect->first);
    click.effect_key = std::move(effect->second);
    click.respond_to = std::move(target).value();
    return click;
}

void ChatActions::respond(const asio::any_io_executor& executor, NotifyTarget to, std::string message) {
    asio::co_spawn(executor, post_response(std::move(to), std::move(message), *tls_, limits_), asio::detached);
}

void ChatActions::approving(const std::string& run_id, const std::string& effect_key, const NotifyTarget& to,
                            const std::string& approver) {
    if (watched_.size() >= kMaxWatched) watched_.erase(watched_.begin());
    watched_.insert_or_assign({run_id, effect_key}, Watched{to, approver});
}

void ChatActions::forget(const std::string& run_id, const std::string& effect_key, const std::string& approver) {
    const auto found = watched_.find({run_id, effect_key});
    if (found != watched_.end() && found->second.approver == approver) watched_.erase(found);
}

std::string ChatActions::approved_outcome(const std::string& run_id, const std::string& effect_key,
                                          const std::string& approver) {
    const auto found = watched_.find({run_id, effect_key});
    if (found != watched_.end() && found->second.taken) {
        watched_.erase(found);
        return "Approved by " + approver + " — taken by its worker";
    }
    if (found != watched_.end()) found->second.told = true;
    return "Approved by " + approver + " — waiting for its worker";
}

void ChatActions::handled(const Decision& decision) {
    if (watched_.empty() || decision.request == nullptr || decision.request->op != Operation::submit) return;
    for (const StateChange& change : decision.changes) {
        if (change.kind != StateChange::Kind::effect_state || change.state != EffectState::released) continue;
        const auto found = watched_.find({change.run_id, change.effect_key});
        if (found == watched_.end()) continue;
        if (!found->second.told) {
            found->second.taken = true;
            continue;
        }
        if (executor_) {
            respond(*executor_, std::move(found->second.respond_to),
                    chat_replacement("Approved by " + found->second.approver + " — taken by its worker",
                                     change.run_id, change.effect_key));
        }
        watched_.erase(found);
    }
}

std::string chat_replacement(std::string_view outcome, std::string_view run_id, std::string_view effect_key) {
    const std::string text = chat_escaped(outcome);
    json::array blocks{
        json::object{{"type", "section"}, {"text", plain(text)}},
        json::object{{"type", "context"},
                     {"elements", json::array{plain("Effect: " + chat_escaped(clipped_text(effect_key, kNameClip)) +
                                                    " · Run: " + chat_escaped(clipped_text(run_id, kNameClip)))}}},
    };
    return json::serialize(json::object{{"replace_original", true}, {"text", text}, {"blocks", std::move(blocks)}});
}

std::string chat_ephemeral(std::string_view text) {
    return json::serialize(json::object{
        {"response_type", "ephemeral"}, {"replace_original", false}, {"text", chat_escaped(text)}});
}

}  // namespace latchwork::server
