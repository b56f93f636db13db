// webhook_event.h: which audit entries are told to receivers, and by what name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/audit_entry.h"
#include "support/result.h"

namespace latchwork::server {

// The events a receiver can be told, as a set of bits.
enum class WebhookEvent : std::uint16_t {
    held = 1 << 0,
    approved = 1 << 1,
    rejected = 1 << 2,
    expired = 1 << 3,
    taken = 1 << 4,
    cancelled = 1 << 5,
    closed = 1 << 6,
    // What performing a released effect produced was recorded: routine by design, so
    // never implied, not even by "all".
    completed = 1 << 8,
};
using WebhookEvents = std::uint16_t;
inline constexpr WebhookEvents kAllWebhookEvents = 0x7f;
// Not an event but a choice: releases decided by a rule are told too (as "approved").
// Routine by design, so never implied, not even by "all".
inline constexpr WebhookEvents kAutoReleases = 0x80;

std::string_view webhook_event_name(WebhookEvent event);

// The event an entry reports, or nullopt for one that reports none: a decide that
// was refused (the run cancelled, a duplicate) changed nothing a receiver waits on.
// A person's approval and a line-protocol decider's release are both "approved";
// a rejection is "rejected".
std::optional<WebhookEvent> webhook_event_of(const AuditEntry& entry);

// Whether the entry is a release no person decided (a rule's): told only to receivers
// that chose kAutoReleases.
bool automatic_release(const AuditEntry& entry);

// "held,approved,...,auto" (or "all") into a set; a failure names the unknown one.
Result<WebhookEvents> parse_webhook_events(std::string_view list);

}  // namespace latchwork::server
