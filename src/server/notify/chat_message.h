// chat_message.h: a notification as a message for a Slack-style incoming webhook.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
// the console when `console_url` is known. With `decide_buttons`, a held effect's
// message also carries "Approve" and "Reject" buttons (action ids "approve" and
// "reject"), whose value names the effect (chat_button_value), for the platform to
// call the console's /chat/actions with when one is clicked.
std::string chat_message(const AuditEntry& entry, WebhookEvent event, std::string_view console_url,
                         bool decide_buttons = false);

// The value of a decision button: the run id and effect key as a compact JSON array;
// nullopt when that is longer than a button's value may be (2000 characters).
std::optional<std::string> chat_button_value(std::string_view run_id, std::string_view effect_key);

// The run id and effect key a button's value names; nullopt for anything else.
std::optional<std::pair<std::string, std::string>> read_chat_button_value(std::string_view value);

}  // namespace latchwork::server
