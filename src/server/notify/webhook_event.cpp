// webhook_event.cpp: which audit entries are told to receivers, and by what name.
#include "server/notify/webhook_event.h"

#include <array>

namespace latchwork::server {
namespace {

constexpr std::array kEvents{WebhookEvent::held,  WebhookEvent::approved,  WebhookEvent::rejected,
                             WebhookEvent::expired, WebhookEvent::taken, WebhookEvent::cancelled,
                             WebhookEvent::closed, WebhookEvent::completed};

}  // namespace

std::string_view webhook_event_name(WebhookEvent event) {
    switch (event) {
        case WebhookEvent::held: return "held";
        case WebhookEvent::approved: return "approved";
        case WebhookEvent::rejected: return "rejected";
        case WebhookEvent::expired: return "expired";
        case WebhookEvent::taken: return "taken";
        case WebhookEvent::cancelled: return "cancelled";
        case WebhookEvent::closed: return "closed";
        case WebhookEvent::completed: return "completed";
    }
    return "unknown";
}

std::optional<WebhookEvent> webhook_event_of(const AuditEntry& entry) {
    switch (entry.event) {
        case AuditEvent::held: return WebhookEvent::held;
        case AuditEvent::expired: return WebhookEvent::expired;
        case AuditEvent::taken: return WebhookEvent::taken;
        case AuditEvent::cancelled: return WebhookEvent::cancelled;
        case AuditEvent::closed: return WebhookEvent::closed;
        case AuditEvent::released: return std::nullopt;  // on record, not news: no person was asked
        case AuditEvent::would: return std::nullopt;     // shadow rules: nothing happened
        case AuditEvent::approval_recorded: return std::nullopt;  // still held: the quorum's last approval is news
        case AuditEvent::granted:
        case AuditEvent::revoked: return std::nullopt;
        case AuditEvent::completed: return WebhookEvent::completed;
        case AuditEvent::decided:
            if (entry.approved && (entry.verdict == "approved" || entry.verdict == "release")) {
                return WebhookEvent::approved;
            }
            if (!entry.approved && entry.verdict == "refused_rejected") return WebhookEvent::rejected;
            return std::nullopt;
    }
    return std::nullopt;
}

bool automatic_release(const AuditEntry& entry) {
    return entry.event == AuditEvent::decided && entry.approved && (entry.source.starts_with("rule:") || entry.source.starts_with("grant:"));
}

Result<WebhookEvents> parse_webhook_events(std::string_view list) {
    if (list == "all") return kAllWebhookEvents;
    WebhookEvents chosen = 0;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        bool known = name == "auto" || name == "all";
        if (name == "auto") chosen |= kAutoReleases;
        if (name == "all") chosen |= kAllWebhookEvents;
        for (WebhookEvent event : kEvents) {
            if (webhook_event_name(event) == name) {
                chosen |= static_cast<WebhookEvents>(event);
                known = true;
            }
        }
        if (!known) {
            return Failure{"--notify-events: unknown event \"" + std::string(name) +
                           "\" (held, approved, rejected, expired, taken, cancelled, closed, completed, auto or all)"};
        }
    }
    if ((chosen & (kAllWebhookEvents | static_cast<WebhookEvents>(WebhookEvent::completed))) == 0) return Failure{"--notify-events: name at least one event"};
    return chosen;
}

}  // namespace latchwork::server
