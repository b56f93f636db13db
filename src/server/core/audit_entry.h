// audit_entry.h: one line of the audit log (who decided what, when, with what verdict), plain data.
//
// Every store keeps these entries with the state changes of the request that caused
// them, in the same batch, so an answered decision is never missing from the log.
// Nothing here knows a database or the ledger: each store writes the fields as they
// stand.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "server/core/request.h"
#include "server/core/state_change.h"

namespace latchwork::server {

enum class AuditEvent : std::uint8_t {
    held,       // a submit made the effect pending
    decided,    // a decide was answered with a verdict (refusals included)
    expired,    // the effect waited past its deadline and was rejected
    cancelled,  // the run was cancelled (only when that changed something)
    closed,     // the run was closed (likewise)
    taken,      // a submit took the release a person approved for its submitter
    released,   // a submit of a client that said hello was released, no person asked
    would,      // shadow rules: the rule that matched a new effect would have decided otherwise
    approval_recorded,  // one approval of an effect whose rule asks for more than one
    granted,    // a standing grant was given
    revoked,    // a standing grant was taken back
    completed,  // the attempt that took a release recorded what performing it produced (the detail)
};

struct AuditEntry {
    std::uint64_t seq = 0;    // the store's numbering, oldest first; 0 until stored
    std::int64_t at_ms = 0;   // Unix time in milliseconds, when it was decided
    AuditEvent event = AuditEvent::held;
    std::string run_id;
    std::string effect_key;   // empty for cancelled and closed
    bool approved = false;    // decided and expired (always false there)
    // decided and expired: the verdict kind; held: "held_for_approval"; would: the rule's
    // ("release", "held_for_approval" or "refused_rejected")
    std::string verdict;
    // "line:IP:PORT" (the peer of a line-protocol connection), "client:NAME" (a
    // line-protocol client that said hello), "console:NAME" (an approver), "chat:NAME"
    // (an approver's click in a chat message) or "expiry".
    std::string source;
    bool mac_verified = false;  // line-protocol decisions checked against the secret
    std::string reason;         // console decisions (and approvals) only
    std::int64_t deadline_ms = 0;  // held: when it expires, 0 for never
    std::string detail;            // held: the effect's detail (compact JSON), empty for none; completed: the result
    // held: the members of the detail an approver may change, a JSON array of JSON
    // Pointers; empty for none.
    std::string editable;
    // decided (an approval), approval_recorded and taken: `detail` is the detail as an
    // approver changed it, not as submitted (the held entry keeps that one).
    bool edited = false;

    friend bool operator==(const AuditEntry&, const AuditEntry&) = default;
};

// Where a request came from, as the audit log tells it.
struct DecisionSource {
    // client: the line port, from a client that said hello (the --clients file);
    // chat: an approver's click on a button of a chat message.
    enum class Door : std::uint8_t { line, console, expiry, client, chat };
    Door door = Door::line;
    // line: the peer "IP:PORT"; client: the client's name; console and chat: the
    // approver's name
    std::string_view who;
    bool mac_verified = false;  // line and client only
    std::string_view reason;    // console only
};

// Whether a person decides through this door (an approver on the console or in chat),
// held to the rules' approvers and quorums.
inline bool person_door(DecisionSource::Door door) noexcept {
    return door == DecisionSource::Door::console || door == DecisionSource::Door::chat;
}

// The source as the audit log writes it: "line:IP:PORT", "client:NAME",
// "console:NAME", "chat:NAME" or "expiry".
std::string decision_source_text(const DecisionSource& source);

// The entry a decided request leaves in the log, if any: a decide always (unless it
// was refused before it reached the ledger, which callers do not pass here), a submit
// that held its effect or took an approved one (`took_approved`), a cancel or close
// that changed the run. `changes` are what
// the request changed; `verdict` is its verdict kind text.
std::optional<AuditEntry> audit_entry_for(const Request& request, std::string_view verdict,
                                          std::span<const StateChange> changes,
                                          const DecisionSource& source, std::int64_t now_ms,
                                          std::int64_t deadline_ms = 0,
                                          bool took_approved = false);

std::string_view audit_event_name(AuditEvent event);
std::optional<AuditEvent> audit_event_from_name(std::string_view name);

// Milliseconds since the Unix epoch, by the wall clock.
std::int64_t unix_time_ms();

// "2026-12-09T14:03:07.123Z".
std::string utc_time_text(std::int64_t unix_ms);

// Text between double quotes in which no byte of `text` can end the quote or the line:
// quotes, backslashes, control bytes and DEL are escaped (\" \\ \n \t \xHH).
std::string quoted_text(std::string_view text);

// One entry as one line of `latchwork-gate log` (no line feed).
std::string audit_line(const AuditEntry& entry);

}  // namespace latchwork::server
