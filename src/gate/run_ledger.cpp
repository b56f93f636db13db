// run_ledger.cpp: container steps of the run ledger.
#include "gate/run_ledger.h"

#include <iterator>

namespace latchwork {

const RunRecord* RunLedger::find_run(std::string_view run_id) const {
    auto found = runs_.find(run_id);
    return found == runs_.end() ? nullptr : &found->second;
}

RunRecord* RunLedger::find_run(std::string_view run_id) {
    auto found = runs_.find(run_id);
    return found == runs_.end() ? nullptr : &found->second;
}

RunRecord& RunLedger::run(std::string_view run_id) {
    if (RunRecord* existing = find_run(run_id)) return *existing;
    return runs_.emplace(std::string(run_id), RunRecord{}).first->second;
}

void RunLedger::set_effect_state(RunRecord& run, std::string_view effect_key,
                                 EffectState state) {
    auto found = run.effects.find(effect_key);
    if (found != run.effects.end()) {
        set_effect_state(found, state);
        return;
    }
    run.effects.emplace(std::string(effect_key), state);
    ++totals_[index(state)];
}

void RunLedger::set_effect_state(StringMap<EffectState>::iterator effect, EffectState state) {
    --totals_[index(effect->second)];
    effect->second = state;
    ++totals_[index(state)];
}

void RunLedger::purge_pending(RunRecord& run) {
    const std::size_t removed = boost::unordered::erase_if(
        run.effects, [](const auto& effect) { return effect.second == EffectState::pending; });
    totals_[index(EffectState::pending)] -= removed;
}

void RunLedger::purge_all(RunRecord& run) {
    for (const auto& [key, state] : run.effects) --totals_[index(state)];
    // Swapping with an empty map also returns the table, which clear() keeps.
    StringMap<EffectState>().swap(run.effects);
}

}  // namespace latchwork
