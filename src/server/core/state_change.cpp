// state_change.cpp: recording the changes of gate operations, and replaying them.
#include "server/core/state_change.h"

#include <optional>

#include "gate/gate_operations.h"

namespace latchwork::server {

std::optional<EffectState> effect_state_in(const RunLedger& ledger, std::string_view run_id,
                                           std::string_view effect_key) {
    const RunRecord* run = ledger.find_run(run_id);
    if (run == nullptr) return std::nullopt;
    const EffectKey* effect = run->effects.find(effect_key);
    if (effect == nullptr) return std::nullopt;
    return state_of(*effect);
}

namespace {

// submit and decide touch at most the one effect they name, and never remove it.
void record_effect(const RunLedger& ledger, std::string_view run_id, std::string_view effect_key,
                   std::optional<EffectState> before, std::vector<StateChange>& changes) {
    const std::optional<EffectState> after = effect_state_in(ledger, run_id, effect_key);
    if (after && after != before) changes.push_back(effect_state_change(run_id, effect_key, *after));
}

}  // namespace

StateChange effect_state_change(std::string_view run_id, std::string_view effect_key,
                                EffectState state) {
    return {StateChange::Kind::effect_state, std::string(run_id), std::string(effect_key), state,
            {}, {}, {}, {}, {}};
}

StateChange run_cancelled_change(std::string_view run_id) {
    return {StateChange::Kind::run_cancelled, std::string(run_id), {}, EffectState::pending, {}, {}, {}, {}, {}};
}

StateChange run_closed_change(std::string_view run_id) {
    return {StateChange::Kind::run_closed, std::string(run_id), {}, EffectState::pending, {}, {}, {}, {}, {}};
}

StateChange approval_recorded_change(std::string_view run_id, std::string_view effect_key,
                                     std::vector<std::string> approvals) {
    return {StateChange::Kind::approval_recorded, std::string(run_id), std::string(effect_key),
            EffectState::pending, {}, {}, std::move(approvals), {}, {}};
}

VerdictKind recorded_submit(RunLedger& ledger, std::string_view run_id,
                            std::string_view effect_key, bool needs_approval,
                            std::vector<StateChange>& changes, std::string_view detail) {
    const std::optional<EffectState> before = effect_state_in(ledger, run_id, effect_key);
    const VerdictKind verdict = gate_submit(ledger, run_id, effect_key, needs_approval);
    const std::size_t recorded = changes.size();
    record_effect(ledger, run_id, effect_key, before, changes);
    if (changes.size() != recorded && changes.back().state == EffectState::pending) {
        changes.back().detail = std::string(detail);
    }
    return verdict;
}

bool recorded_approve_for_submitter(RunLedger& ledger, std::string_view run_id,
                                    std::string_view effect_key,
                                    std::vector<StateChange>& changes) {
    if (!gate_approve_for_submitter(ledger, run_id, effect_key)) return false;
    changes.push_back(effect_state_change(run_id, effect_key, EffectState::approved));
    return true;
}

VerdictKind recorded_decide(RunLedger& ledger, std::string_view run_id,
                            std::string_view effect_key, bool approved,
                            std::vector<StateChange>& changes) {
    const std::optional<EffectState> before = effect_state_in(ledger, run_id, effect_key);
    const VerdictKind verdict = gate_decide(ledger, run_id, effect_key, approved);
    record_effect(ledger, run_id, effect_key, before, changes);
    return verdict;
}

// A run already flagged has nothing left to drop: a stopped run never gains a
// waiting effect, and a closed one never gains any effect.
void recorded_cancel(RunLedger& ledger, std::string_view run_id,
                     std::vector<StateChange>& changes) {
    const bool was_cancelled = gate_is_cancelled(ledger, run_id);
    gate_cancel(ledger, run_id);
    ledger.forget_stopped_id(run_id);
    if (!was_cancelled) changes.push_back(run_cancelled_change(run_id));
}

void recorded_close_run(RunLedger& ledger, std::string_view run_id,
                        std::vector<StateChange>& changes) {
    const bool was_closed = gate_is_closed(ledger, run_id);
    gate_close_run(ledger, run_id);
    ledger.forget_stopped_id(run_id);
    if (!was_closed) changes.push_back(run_closed_change(run_id));
}

void apply_change(RunLedger& ledger, const StateChange& change) {
    // The ledger keeps states only: who approved a pending effect so far is the
    // held index's (and the store's) to keep.
    if (change.kind == StateChange::Kind::approval_recorded) return;
    RunRecord& run = ledger.run(change.run_id);
    switch (change.kind) {
        case StateChange::Kind::effect_state:
            if (const EffectKey* effect = run.effects.find(change.effect_key)) {
                ledger.change_state(*effect, change.state);
            } else {
                ledger.add_effect(run, change.effect_key, change.state);
            }
            return;
        case StateChange::Kind::run_cancelled:
            run.cancelled = true;
            ledger.purge_pending(run);
            ledger.forget_stopped_id(change.run_id);
            return;
        case StateChange::Kind::run_closed:
            run.closed = true;
            ledger.purge_all(run);
            ledger.forget_stopped_id(change.run_id);
            return;
        case StateChange::Kind::approval_recorded:
            return;
    }
}

void apply_changes(RunLedger& ledger, std::span<const StateChange> changes) {
    for (const StateChange& change : changes) apply_change(ledger, change);
}

}  // namespace latchwork::server
