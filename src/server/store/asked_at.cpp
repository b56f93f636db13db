// asked_at.cpp: when a submit of each waiting effect last reached this server.
#include "server/store/asked_at.h"

namespace latchwork::server {

void AskedAt::handled(const Decision& decision) {
    // What it changes first: a submit that takes an approval leaves nothing waiting.
    for (const StateChange& change : decision.changes) {
        switch (change.kind) {
            case StateChange::Kind::effect_state:
                if (!is_waiting(change.state)) forget(change.run_id, change.effect_key);
                break;
            case StateChange::Kind::run_cancelled:
            case StateChange::Kind::run_closed:
                forget_run(change.run_id);
                break;
            case StateChange::Kind::approval_recorded:
                break;  // still waiting
        }
    }
    if (decision.elsewhere || decision.request == nullptr) return;
    const Request& request = *decision.request;
    if (request.op != Operation::submit || decision.verdict != "held_for_approval") return;
    auto run = by_run_.find(request.run_id);
    if (run != by_run_.end()) {
        if (auto effect = run->second.find(request.effect_key); effect != run->second.end()) {
            effect->second = decision.at_ms;
            return;
        }
    }
    if (size_ >= kMaxEffects) return;
    if (run == by_run_.end()) run = by_run_.emplace(request.run_id, Effects{}).first;
    run->second.emplace(request.effect_key, decision.at_ms);
    ++size_;
}

std::optional<std::int64_t> AskedAt::last(std::string_view run_id, std::string_view effect_key) const {
    const auto run = by_run_.find(run_id);
    if (run == by_run_.end()) return std::nullopt;
    const auto effect = run->second.find(effect_key);
    if (effect == run->second.end()) return std::nullopt;
    return effect->second;
}

void AskedAt::forget(std::string_view run_id, std::string_view effect_key) {
    const auto run = by_run_.find(run_id);
    if (run == by_run_.end()) return;
    const auto effect = run->second.find(effect_key);
    if (effect == run->second.end()) return;
    run->second.erase(effect);
    --size_;
    if (run->second.empty()) by_run_.erase(run);
}

void AskedAt::forget_run(std::string_view run_id) {
    const auto run = by_run_.find(run_id);
    if (run == by_run_.end()) return;
    size_ -= run->second.size();
    by_run_.erase(run);
}

}  // namespace latchwork::server
