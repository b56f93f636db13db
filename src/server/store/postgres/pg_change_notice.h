// pg_change_notice.h: one committed change, as a server tells the others that share its database.
//
// Each batch transaction sends a notification per change on the channel
// "latchwork"; PostgreSQL delivers them at commit, so only committed changes are
// told, in commit order. The payload is compact JSON:
//
//   {"server":"5f0c...","kind":"effect_state","op":"decide","verdict":"approved",
//    "run":"<hex>","effect":"<hex>","state":"approved","source":"console:ada",
//    "reason":"<hex>","at":1765000000000,"deadline":0}
//
//   server    the sending server's own id, so it can ignore its own notifications
//   kind      effect_state, run_cancelled or run_closed (StateChange::Kind)
//   op        the operation that made the change (submit, decide, cancel, close_run)
//   verdict   that request's verdict text
//   run       the run id, hex (ids are arbitrary bytes); effect: the effect key, hex,
//             empty for the run kinds
//   state     effect_state only: pending, released, rejected or approved
//   source    who decided, as the audit log says it ("line:IP:PORT", "client:NAME",
//             "console:NAME", "expiry")
//   reason    the console's reason, hex
//   at        when it was decided, Unix ms; deadline: a hold's deadline, 0 for none
//
// A detail never travels (it may be 16 KiB): whoever needs one reads it. PostgreSQL
// refuses payloads of 8000 bytes or more, and two ids of 4096 bytes each take 16 KiB
// in hex, so a change that does not fit is sent in the short form
// {"server":"...","kind":"changed"}: something changed, read the store again.
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
// The longest payload sent in full; PostgreSQL's own bound is 8000 bytes.
inline constexpr std::size_t kMostNoticeBytes = 7900;

// What a request that changed something was, for the payload of each of its changes.
struct NoticeContext {
    Operation op = Operation::ping;
    std::string_view verdict;
    DecisionSource source;
    std::int64_t at_ms = 0;
    std::int64_t deadline_ms = 0;
};

// The payload of one change by `server` (the short form when the full one is too long).
std::string notice_payload(std::string_view server, const NoticeContext& context,
                           const StateChange& change);

// A payload read back. `complete` is false for the short form: only `server` is known.
struct ChangeNotice {
    std::string server;
    bool complete = false;
    Operation op = Operation::ping;
    std::string verdict;
    StateChange change{StateChange::Kind::effect_state, {}, {}, EffectState::pending, {}};
    std::string source;  // as the audit log says it
    std::string reason;
    std::int64_t at_ms = 0;
    std::int64_t deadline_ms = 0;
};

// nullopt for a payload that is not one of ours.
std::optional<ChangeNotice> read_notice(std::string_view payload);

// The door and who of an audit source text ("console:ada" -> console, "ada"); the
// view points into `text`.
DecisionSource source_from_text(std::string_view text);

}  // namespace latchwork::server
