// chat_message.h: a notification as a message for a Slack-style incoming webhook.
#pragma once

#include <string>
#include <string_view>

#include "server/core/audit_entry.h"
#include "server/notify/webhook_event.h"

namespace latchwork::server {

// Chat markup reads <...> as links and mentions and &...; as entities: every '&', '<'
// and '>' of a run id, key, detail, source or reason is written as an entity, so none
// of them can mention anyone, link anywhere or format anything. They also travel
// in plain_text objects, which format nothing.
std::string chat_escaped(std::string_view text);

// {"text": ..., "blocks": [...]}: a header with the event and the effect, its run,
// who asked or decided, the deadline, the detail, and a "Review" button that opens
// the console when `console_url` is known.
std::string chat_message(const AuditEntry& entry, WebhookEvent event, std::string_view console_url);

}  // namespace latchwork::server
