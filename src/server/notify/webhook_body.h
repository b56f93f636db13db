// webhook_body.h: what a receiver is sent for one audit entry: the signed JSON body, or a chat message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/core/audit_entry.h"
#include "server/core/console_link.h"
#include "server/notify/webhook_event.h"

namespace latchwork::server {

// {"type": EVENT, "timestamp": ISO-8601, "data": {...}}: the event, run id, effect
// key, detail (the JSON the submitter gave, or null), deadline, who decided, the
// reason, when, the seq of the entry, and `link` to the effect on the console when
// `console_url` (its public base) is known.
std::string webhook_body(const AuditEntry& entry, WebhookEvent event, std::string_view console_url);

// The text of the longest prefix of `text` no longer than `max_bytes` that ends on a
// whole UTF-8 character, with "…" when something was cut.
std::string clipped_text(std::string_view text, std::size_t max_bytes);

}  // namespace latchwork::server
