// gate_operations.cpp: verdicts of submit and decide, and the two ways a run ends.
#include "gate/gate_operations.h"

namespace latchwork {

VerdictKind gate_submit(RunLedger& ledger, std::string_view run_id, std::string_view effect_key,
                        bool needs_approval) {
    RunRecord* run = ledger.find_run(run_id);
    if (run != nullptr) {
        if (run->stopped()) return VerdictKind::refused_cancelled;
        if (const EffectKey* effect = run->effects.find(effect_key)) {
            switch (state_of(*effect)) {
                case EffectState::released: return VerdictKind::refused_duplicate;
                case EffectState::rejected: return VerdictKind::refused_rejected;
                // A repeated submission of a held effect leaves its record as it was,
                // whatever this call's needs_approval says.
                case EffectState::pending: return VerdictKind::held_for_approval;
                // A person approved it for its submitter: this submission takes the
                // release, and every later one finds it released.
                case EffectState::approved:
                    ledger.change_state(*effect, EffectState::released);
                    return VerdictKind::release;
            }
        }
    } else {
        run = &ledger.add_run(run_id);
    }
    if (needs_approval) {
        ledger.add_effect(*run, effect_key, EffectState::pending);
        return VerdictKind::held_for_approval;
    }
    ledger.add_effect(*run, effect_key, EffectState::released);
    return VerdictKind::release;
}

VerdictKind gate_decide(RunLedger& ledger, std::string_view run_id, std::string_view effect_key,
                        bool approved) {
    RunRecord* run = ledger.find_run(run_id);
    if (run != nullptr) {
        const EffectKey* effect = run->effects.find(effect_key);
        if (effect != nullptr && state_of(*effect) == EffectState::pending) {
            // A held effect never belongs to a stopped run, so no run check is needed here.
            if (approved) {
                ledger.change_state(*effect, EffectState::released);
                return VerdictKind::release;
            }
            ledger.change_state(*effect, EffectState::rejected);
            return VerdictKind::refused_rejected;
        }
        if (run->stopped()) return VerdictKind::refused_cancelled;
        // Approving what is not held never releases it, and records nothing.
        if (approved) return VerdictKind::refused_duplicate;
        if (effect != nullptr) {
            // An approved effect's release belongs to its submitter: no decider takes it.
            const EffectState state = state_of(*effect);
            if (state == EffectState::released || state == EffectState::approved) {
                return VerdictKind::refused_duplicate;
            }
            return VerdictKind::refused_rejected;  // already rejected: nothing changes
        }
    } else if (approved) {
        return VerdictKind::refused_duplicate;
    } else {
        run = &ledger.add_run(run_id);
    }
    // A rejection that comes before the submission is remembered, so the later
    // submission is refused as rejected.
    ledger.add_effect(*run, effect_key, EffectState::rejected);
    return VerdictKind::refused_rejected;
}

bool gate_approve_for_submitter(RunLedger& ledger, std::string_view run_id,
                                std::string_view effect_key) {
    RunRecord* run = ledger.find_run(run_id);
    if (run == nullptr) return false;
    const EffectKey* effect = run->effects.find(effect_key);
    if (effect == nullptr || state_of(*effect) != EffectState::pending) return false;
    ledger.change_state(*effect, EffectState::approved);
    return true;
}

void gate_cancel(RunLedger& ledger, std::string_view run_id) {
    RunRecord& run = ledger.run(run_id);
    run.cancelled = true;
    ledger.purge_pending(run);
}

void gate_close_run(RunLedger& ledger, std::string_view run_id) {
    RunRecord& run = ledger.run(run_id);
    run.closed = true;
    ledger.purge_all(run);
}

bool gate_is_cancelled(const RunLedger& ledger, std::string_view run_id) {
    const RunRecord* run = ledger.find_run(run_id);
    return run != nullptr && run->cancelled;
}

bool gate_is_closed(const RunLedger& ledger, std::string_view run_id) {
    const RunRecord* run = ledger.find_run(run_id);
    return run != nullptr && run->closed;
}

}  // namespace latchwork
