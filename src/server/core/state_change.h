// state_change.h: the changes one gate operation makes to a run ledger, as plain records.
//
// The ledger stays the authority for verdicts; a store only needs to learn what
// changed, so that replaying the records onto an empty ledger rebuilds the same one.
// The recording operations run the decision logic of src/gate itself and read the
// effect's state before and after, so the records can never disagree with a verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gate/run_ledger.h"
#include "gate/verdict_kind.h"

namespace latchwork::server {

struct StateChange {
    enum class Kind : std::uint8_t {
        effect_state,   // the effect (run_id, effect_key) is now in `state`, new or changed
        run_cancelled,  // the run is flagged cancelled and its pending effects are gone
        run_closed,     // the run is flagged closed and every effect of it is gone
        // the pending effect (run_id, effect_key) gained a person's approval, short of
        // its rule's quorum: it stays pending, `approvals` names every approver so far
        approval_recorded,
    };
    Kind kind;
    std::string run_id;
    std::string effect_key;  // effect_state only
    EffectState state = EffectState::pending;  // effect_state only
    // effect_state to pending: what the submitter said the effect is, as compact
    // canonical JSON; empty for none. It stays with the effect while it waits.
    std::string detail;
    // effect_state to pending: the rule that held it for a person (empty: the client
    // asked). While it waits, only a person may decide it.
    std::string rule;
    // approval_recorded: who approved the effect so far, in order, distinct.
    std::vector<std::string> approvals;
    // effect_state to pending: the members of `detail` an approver may change (JSON
    // Pointers); none: nothing may change.
    std::vector<std::string> editable;
    // effect_state to approved, and approval_recorded: the detail as approved when an
    // approver changed it (compact canonical JSON); empty: approved as submitted.
    std::string edited;

    friend bool operator==(const StateChange&, const StateChange&) = default;
};

StateChange effect_state_change(std::string_view run_id, std::string_view effect_key,
                                EffectState state);
StateChange run_cancelled_change(std::string_view run_id);
StateChange run_closed_change(std::string_view run_id);
StateChange approval_recorded_change(std::string_view run_id, std::string_view effect_key,
                                     std::vector<std::string> approvals);

// The state of an effect in `ledger`, or nullopt when the ledger has none.
std::optional<EffectState> effect_state_in(const RunLedger& ledger, std::string_view run_id,
                                           std::string_view effect_key);

// The gate operations, each appending what it changed to `changes` (nothing when the
// ledger is left as it was: a repeated submission, a refusal, a second cancel).
VerdictKind recorded_submit(RunLedger& ledger, std::string_view run_id,
                            std::string_view effect_key, bool needs_approval,
                            std::vector<StateChange>& changes, std::string_view detail = {});
// A person's approval handed to the submitter (gate_approve_for_submitter).
bool recorded_approve_for_submitter(RunLedger& ledger, std::string_view run_id,
                                    std::string_view effect_key,
                                    std::vector<StateChange>& changes);
VerdictKind recorded_decide(RunLedger& ledger, std::string_view run_id,
                            std::string_view effect_key, bool approved,
                            std::vector<StateChange>& changes);
void recorded_cancel(RunLedger& ledger, std::string_view run_id,
                     std::vector<StateChange>& changes);
void recorded_close_run(RunLedger& ledger, std::string_view run_id,
                        std::vector<StateChange>& changes);

// Makes one recorded change again on `ledger`; replaying a sequence of them in order
// onto an empty ledger gives the ledger that recorded them.
void apply_change(RunLedger& ledger, const StateChange& change);
void apply_changes(RunLedger& ledger, std::span<const StateChange> changes);

}  // namespace latchwork::server
