// apply_request.h: the one decision step: a request applied to a ledger, with its reply, its changes and its audit entry.
//
// Every store decides with it: the local stores on the ledger that holds their whole
// state, the shared store on the scratch ledger of one transaction. The verdicts come
// from the gate operations of src/gate alone.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gate/run_ledger.h"
#include "server/core/audit_entry.h"
#include "server/core/effect_rules.h"
#include "server/core/grant.h"
#include "server/core/kept_release.h"
#include "server/core/reply.h"
#include "server/core/request.h"
#include "server/core/state_change.h"

namespace latchwork::server {

// When a request is decided, and how long a hold it makes may wait.
struct DecisionClock {
    std::int64_t now_ms = 0;
    std::int64_t hold_timeout_ms = 0;  // 0: holds wait for ever

    // The one place a hold's deadline is computed: 0 for none.
    std::int64_t hold_deadline() const noexcept {
        return hold_timeout_ms > 0 ? now_ms + hold_timeout_ms : 0;
    }
};

// What one request earned.
struct Applied {
    Reply reply;
    std::optional<AuditEntry> audit;
    // A submit of a new effect a rule matched: that rule's outcome (in either mode; its
    // views last as long as the rules); and in shadow mode, when the rule would have
    // decided otherwise, the `would` entry that says so.
    std::optional<RuleOutcome> matched;
    std::optional<AuditEntry> would;
    std::int64_t deadline_ms = 0;  // a hold it made may wait until then; 0: the clock's hold_deadline()
    // An approval that remembered a grant: the grant, and its `granted` entry (after
    // `audit`); a revoke: the grant's id, its `revoked` entry in `audit`.
    std::optional<Grant> granted;
    std::optional<AuditEntry> grant_entry;
    std::optional<std::string> revoked;
    // What to keep with the request's effect from now on (kept_release.h), replacing
    // what was kept: a release an attempt took, a person's approval, a result.
    std::optional<KeptRelease> kept;
};

// The totals of a ledger that holds only part of the state (counted elsewhere);
// nullopt when they cannot be counted, which the implementation knows why.
class CountTotals {
public:
    virtual std::optional<std::uint64_t> count(Operation op) = 0;

protected:
    ~CountTotals() = default;
};

// The details of the effects that wait (held or approved), wherever a store keeps them.
class WaitingDetails {
public:
    // The detail kept with a waiting effect; empty when it has none.
    virtual std::string_view detail_of(std::string_view run_id, std::string_view effect_key) = 0;
    // The rule that held a waiting effect; empty when the client asked for the hold.
    virtual std::string_view rule_of(std::string_view run_id, std::string_view effect_key) = 0;
    // Who approved a pending effect so far, short of its rule's quorum; empty for none.
    virtual std::span<const std::string> approvals_of(std::string_view run_id, std::string_view effect_key) = 0;
    // What is kept with an effect a person approved or an attempt took (kept_release.h);
    // null for none. Valid until the next call or the next decided request.
    virtual const KeptRelease* release_of(std::string_view run_id, std::string_view effect_key) = 0;
    // The members of a waiting effect's detail an approver may change; empty for none.
    virtual std::span<const std::string> editable_of(std::string_view run_id, std::string_view effect_key) = 0;
    // The detail as an approver changed it (a pending effect under a quorum, or an
    // approved one); empty when nobody did. detail_of stays the submitted one.
    virtual std::string_view edited_of(std::string_view run_id, std::string_view effect_key) = 0;

protected:
    ~WaitingDetails() = default;
};

// The state of an effect as a person is told it: its state's text (effect_state_text.h),
// else "closed" or "cancelled" for a stopped run, else "unknown"; fixed text all.
std::string_view effect_state_name(const RunLedger& ledger, std::string_view run_id,
                                   std::string_view effect_key);

// Applies `request` (any operation but ping, which the request handler answers
// itself) to `ledger`, appending what it changed to `changes`. The counts are the
// ledger's own unless `totals` is given; nullopt only when `totals` could not count.
// Expiry that finds its effect no longer held changes nothing and leaves no entry.
//
// The doors differ in one thing: a person's approval (the console door) hands the
// release to the effect's submitter, so the effect becomes approved ("approved");
// and a person deciding what is no longer held is told its state
// ("already_decided") and changes nothing. A submit of a waiting effect whose detail
// differs from the one in `details` is refused and changes nothing.
//
// With `rules`, a submit of an effect its run has not decided is decided by the rule
// that matches, if one does: released or rejected at once (logged with the source
// "rule:NAME"), or held for a person whatever the client asked, for the rule's own
// hold timeout when it has one. A line-port decide of an effect a rule held is
// refused: only people decide it; and when the rule names its approvers, a console
// decide by anyone else is refused (a `forbidden` error) and changes nothing. When the
// rule asks for a quorum of N, a console approval short of the Nth distinct one is
// recorded (an approval_recorded change and entry; the effect stays pending), the Nth
// approves it as above, the same person's second approval is refused (a `conflict`
// error) and a rejection by anyone allowed rejects it at once.
//
// A console approval carrying a detail (Request::detail) other than the one approved so
// far changes it: refused (status 422) unless only the members the submitter marked
// editable differ. Under a quorum such an edit starts the count again, its approver's
// approval the first. The submit that takes an approval with a changed detail is
// answered "release" with that detail, and only when it carries an attempt or
// editable; any other is refused and changes nothing. With
// `shadow`, the rules are asked (Applied::matched, Applied::would) but decide nothing.
//
// With `grants`, a new effect a grantable rule would hold is released at once when a
// live grant of that rule covers it (logged as decided, with the source "grant:ID" and
// the approver who granted it). A console approval carrying Request::remember makes a
// grant (Applied::granted), refused (status 422) and changing nothing when the rule
// that held the effect may not be granted or the glob does not match the effect; a
// revoke_grant ends one (status 404 when no live grant has the id). nullopt also when
// `grants` could not be read.
//
// A submit carrying an attempt that releases its effect (at once, by a rule or a grant,
// or by taking a person's approval) keeps that attempt with it (Applied::kept); a
// later submit with the same attempt is answered release again ({"again":true}) and
// changes nothing; one with another attempt is refused as a duplicate, told when and
// by whose decision it was released and, once completed, its result. A complete by
// the attempt that took the release keeps its result (a `completed` entry); only that
// attempt may, once, or again with the same result.
std::optional<Applied> apply_request(RunLedger& ledger, const Request& request,
                                     const DecisionSource& source, const DecisionClock& clock,
                                     std::vector<StateChange>& changes,
                                     WaitingDetails& details, CountTotals* totals = nullptr,
                                     const EffectRules* rules = nullptr, bool shadow = false,
                                     GrantBook* grants = nullptr);

}  // namespace latchwork::server
