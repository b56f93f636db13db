// chat_message.cpp: a notification as a message for a Slack-style incoming webhook.
#include "server/notify/chat_message.h"

#include <boost/json.hpp>

#include <tuple>

#include "server/core/decider_name.h"
#include "server/notify/webhook_body.h"

namespace latchwork::server {
namespace json = boost::json;

namespace {

// The chat format's limits: a header holds 150 characters, a section 3000. Clipped
// before escaping, with room for the entities escaping may add (at most five bytes
// for one).
constexpr std::size_t kHeaderClip = 100;
constexpr std::size_t kFieldClip = 300;
constexpr std::size_t kDetailClip = 500;
// The most characters a button's value may hold.
constexpr std::size_t kMaxButtonValue = 2000;

std::string_view headline(WebhookEvent event) {
    switch (event) {
        case WebhookEvent::held: return "Waiting for approval";
        case WebhookEvent::approved: return "Approved";
        case WebhookEvent::rejected: return "Rejected";
        case WebhookEvent::expired: return "Expired";
        case WebhookEvent::taken: return "Taken";
        case WebhookEvent::cancelled: return "Run cancelled";
        case WebhookEvent::closed: return "Run closed";
        case WebhookEvent::completed: return "Completed";
    }
    return "Notification";
}

json::object plain(std::string text) {
    return json::object{{"type", "plain_text"}, {"text", std::move(text)}, {"emoji", false}};
}

std::string safe(std::string_view text, std::size_t clip) { return chat_escaped(clipped_text(text, clip)); }

}  // namespace

std::string chat_escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

std::optional<std::string> chat_button_value(std::string_view run_id, std::string_view effect_key) {
    std::string value = json::serialize(json::array{json::string(run_id), json::string(effect_key)});
    // Escapes count once each, as the platform counts characters: bytes are an upper bound.
    if (value.size() > kMaxButtonValue) return std::nullopt;
    return value;
}

std::optional<std::pair<std::string, std::string>> read_chat_button_value(std::string_view value) {
    boost::system::error_code error;
    const json::value parsed = json::parse(value, error);
    const json::array* pair = error ? nullptr : parsed.if_array();
    if (pair == nullptr || pair->size() != 2 || !(*pair)[0].is_string() || !(*pair)[1].is_string()) {
        return std::nullopt;
    }
    return std::pair{std::string((*pair)[0].get_string()), std::string((*pair)[1].get_string())};
}

std::string chat_message(const AuditEntry& entry, WebhookEvent event, std::string_view console_url,
                         bool decide_buttons) {
    const std::string what = entry.effect_key.empty() ? entry.run_id : entry.effect_key;
    const std::string title = std::string(headline(event)) + ": " + safe(what, kHeaderClip);
    json::array fields{plain("Run: " + safe(entry.run_id, kFieldClip))};
    fields.push_back(plain(
        std::string(event == WebhookEvent::held || event == WebhookEvent::taken ? "Asked by: " : "By: ") +
        safe(source_for_people(entry.source), kFieldClip)));
    if (entry.deadline_ms != 0) fields.push_back(plain("Deadline: " + utc_time_text(entry.deadline_ms)));
    if (!entry.reason.empty()) fields.push_back(plain("Reason: " + safe(entry.reason, kFieldClip)));

    json::array blocks{
        json::object{{"type", "header"}, {"text", plain(title)}},
        json::object{{"type", "section"}, {"fields", std::move(fields)}},
    };
    if (!entry.detail.empty()) {
        blocks.push_back(json::object{{"type", "section"},
                                      {"text", plain("Detail: " + safe(entry.detail, kDetailClip))}});
    }
    json::array buttons;
    const std::string link = console_link(console_url, entry.run_id, entry.effect_key);
    if (!link.empty()) buttons.push_back(json::object{{"type", "button"}, {"text", plain("Review")}, {"url", link}});
    if (decide_buttons && event == WebhookEvent::held) {
        if (const std::optional<std::string> value = chat_button_value(entry.run_id, entry.effect_key)) {
            for (auto [action, label, style] : {std::tuple{"approve", "Approve", "primary"},
                                                std::tuple{"reject", "Reject", "danger"}}) {
                buttons.push_back(json::object{{"type", "button"}, {"text", plain(label)},
                                               {"action_id", action}, {"value", *value}, {"style", style}});
            }
        }
    }
    if (!buttons.empty()) blocks.push_back(json::object{{"type", "actions"}, {"elements", std::move(buttons)}});
    // The top-level text is what notifications show; it is read as markup, so it
    // holds nothing but escaped text.
    const json::object message{{"text", title}, {"blocks", std::move(blocks)}};
    return json::serialize(message);
}

}  // namespace latchwork::server
