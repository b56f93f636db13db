// pg_change_notice.h: a wake-up one server sends the others of its database, and the committed entries it points to, read as changes.
//
// A batch transaction that left entries others wait on (a hold, a decision, an
// expiry, a cancel or close, a release taken) notifies once on the channel
// "latchwork"; PostgreSQL delivers it at commit, so only committed batches are told,
// in commit order. The payload is
//
//   {"server":"5f0c...","xact":123456}
//
//   server    the sending server's own id, so it can ignore its own notifications
//   xact      the sending transaction (txid_current()), which every audit entry it
//             wrote keeps in latchwork_audit.xact
//
// Any login may NOTIFY on any channel, so nothing in a notice is believed: whoever
// hears one reads the entries of that transaction from the store, and tells only
// what those committed entries say (who decided, why). A forged notice at worst
// makes a server read true entries again; a listener learns no run id, key or reason.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/audit_entry.h"
#include "server/core/request.h"
#include "server/core/state_change.h"

namespace latchwork::server {

// The channel every server of one database listens on.
inline constexpr const char* kChangeChannel = "latchwork";

// A payload read back.
struct ChangeNotice {
    std::string server;
    std::int64_t xact = 0;
};

// nullopt for a payload that is not one of ours.
std::optional<ChangeNotice> read_notice(std::string_view payload);

// A committed entry as the decision that made it, for the servers that did not:
// the request as far as the entry tells it, and the one change it stands for.
struct HeardChange {
    Request request;
    StateChange change{StateChange::Kind::effect_state, {}, {}, EffectState::pending, {}, {}, {}, {}, {}};
    DecisionSource source;  // views into the entry it was made from
};

// nullopt for an entry that changed nothing another server's waiter or page looks
// for (a refused decide, a duplicate).
std::optional<HeardChange> heard_change(const AuditEntry& entry);

// The door and who of an audit source text ("console:ada" -> console, "ada"); the
// view points into `text`.
DecisionSource source_from_text(std::string_view text);

}  // namespace latchwork::server
