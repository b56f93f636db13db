// run_ledger.cpp: container steps of the run ledger.
#include "gate/run_ledger.h"

#include <utility>

namespace latchwork {

const RunRecord* RunLedger::find_run(std::string_view run_id) const {
    return const_cast<RunLedger*>(this)->find_run(run_id);
}

RunRecord* RunLedger::find_run(std::string_view run_id) {
    if (last_run_ != nullptr && last_run_->first.view() == run_id) {
        return const_cast<RunRecord*>(&last_run_->second);
    }
    auto found = runs_.find(run_id);
    if (found == runs_.end()) {
        if (stopped_.empty()) return nullptr;
        auto stopped = stopped_.find(digest_(run_id));
        return stopped == stopped_.end() ? nullptr : &stopped->second;
    }
    last_run_ = &*found;
    return &found->second;
}

void RunLedger::forget_stopped_id(std::string_view run_id) {
    if (digest_ == nullptr) return;
    auto found = runs_.find(run_id);
    if (found == runs_.end() || !found->second.stopped() || found->second.effects.size() != 0) return;
    RunRecord& kept = stopped_[digest_(run_id)];
    kept.cancelled = found->second.cancelled;
    kept.closed = found->second.closed;
    last_run_ = nullptr;  // it may be the one erased
    runs_.erase(found);
}

RunRecord& RunLedger::add_run(std::string_view run_id) {
    last_run_ = nullptr;  // the insertion may move every entry
    auto added = runs_.emplace(std::piecewise_construct,
                               std::forward_as_tuple(run_id, std::uint8_t{0}),
                               std::forward_as_tuple())
                     .first;
    last_run_ = &*added;
    return added->second;
}

RunRecord& RunLedger::run(std::string_view run_id) {
    if (RunRecord* existing = find_run(run_id)) return *existing;
    return add_run(run_id);
}

void RunLedger::add_effect(RunRecord& run, std::string_view effect_key, EffectState state) {
    run.effects.insert(effect_key, static_cast<std::uint8_t>(state));
    ++totals_[index(state)];
}

void RunLedger::change_state(const EffectKey& effect, EffectState state) {
    --totals_[index(state_of(effect))];
    effect.set_tag(static_cast<std::uint8_t>(state));
    ++totals_[index(state)];
}

void RunLedger::purge_pending(RunRecord& run) {
    std::uint64_t approved = 0;
    totals_[index(EffectState::pending)] -= run.effects.erase_if([&](std::uint8_t tag) {
        const auto state = static_cast<EffectState>(tag);
        if (state == EffectState::approved) ++approved;
        return is_waiting(state);
    }) - approved;
    totals_[index(EffectState::approved)] -= approved;
}

void RunLedger::purge_all(RunRecord& run) {
    run.effects.for_each([this](const EffectKey& effect) { --totals_[index(state_of(effect))]; });
    run.effects.clear();
}

}  // namespace latchwork
