// held_index.cpp: the effects that wait (held, or approved and not yet taken), in the order they were held.
#include "server/core/held_index.h"

namespace latchwork::server {

using Kind = StateChange::Kind;

void HeldIndex::apply(std::span<const StateChange> changes, std::int64_t now_ms,
                      std::int64_t deadline_ms) {
    for (const StateChange& change : changes) {
        switch (change.kind) {
            case Kind::effect_state:
                if (change.state == EffectState::pending) {
                    hold(change.run_id, change.effect_key, now_ms, deadline_ms, change.detail, false, change.rule, {},
                         change.editable);
                } else if (change.state == EffectState::approved) {
                    approve(change.run_id, change.effect_key, change.edited);
                } else {
                    drop(change.run_id, change.effect_key);
                }
                break;
            case Kind::approval_recorded:
                if (auto at = by_key_.find(std::pair{change.run_id, change.effect_key}); at != by_key_.end()) {
                    HeldEffect& held = by_position_.at(at->second);
                    held.approvals = change.approvals;
                    held.edited = change.edited;
                }
                break;
            case Kind::run_cancelled:  // both drop every waiting effect of the run
            case Kind::run_closed:
                drop_run(change.run_id);
                break;
        }
    }
}

void HeldIndex::hold(std::string_view run_id, std::string_view effect_key,
                     std::int64_t held_at_ms, std::int64_t deadline_ms, std::string_view detail,
                     bool approved, std::string_view rule, std::span<const std::string> approvals,
                     std::span<const std::string> editable, std::string_view edited) {
    auto [at, added] =
        by_key_.try_emplace(std::pair{std::string(run_id), std::string(effect_key)}, 0);
    if (!added) return;  // held already: it keeps its place
    at->second = ++last_position_;
    by_position_.emplace(last_position_,
                         HeldEffect{last_position_, std::string(run_id), std::string(effect_key),
                                    held_at_ms, deadline_ms, std::string(detail), approved,
                                    std::string(rule),
                                    std::vector<std::string>(approvals.begin(), approvals.end()),
                                    std::vector<std::string>(editable.begin(), editable.end()),
                                    std::string(edited)});
    if (deadline_ms != 0 && !approved) by_deadline_.emplace(deadline_ms, last_position_);
}

void HeldIndex::approve(std::string_view run_id, std::string_view effect_key, std::string_view edited) {
    auto at = by_key_.find(std::pair{std::string(run_id), std::string(effect_key)});
    if (at == by_key_.end()) return;
    HeldEffect& held = by_position_.at(at->second);
    if (held.approved) return;
    held.approved = true;
    held.approvals.clear();  // a quorum's approvals are over once it is approved
    held.edited = std::string(edited);
    if (held.deadline_ms != 0) by_deadline_.erase({held.deadline_ms, held.position});
}

void HeldIndex::forget_position(std::uint64_t position) {
    auto held = by_position_.find(position);
    if (held == by_position_.end()) return;
    if (held->second.deadline_ms != 0 && !held->second.approved) {
        by_deadline_.erase({held->second.deadline_ms, position});
    }
    by_position_.erase(held);
}

void HeldIndex::drop(std::string_view run_id, std::string_view effect_key) {
    auto at = by_key_.find(std::pair{std::string(run_id), std::string(effect_key)});
    if (at == by_key_.end()) return;
    forget_position(at->second);
    by_key_.erase(at);
}

void HeldIndex::drop_run(std::string_view run_id) {
    // The keys of one run sit together, from (run_id, "") on.
    auto at = by_key_.lower_bound(std::pair{std::string(run_id), std::string()});
    while (at != by_key_.end() && at->first.first == run_id) {
        forget_position(at->second);
        at = by_key_.erase(at);
    }
}

const HeldEffect* HeldIndex::find(std::string_view run_id, std::string_view effect_key) const {
    auto at = by_key_.find(std::pair{std::string(run_id), std::string(effect_key)});
    return at == by_key_.end() ? nullptr : &by_position_.at(at->second);
}

std::optional<std::int64_t> HeldIndex::next_deadline() const {
    if (by_deadline_.empty()) return std::nullopt;
    return by_deadline_.begin()->first;
}

std::vector<std::pair<std::string, std::string>> HeldIndex::due(std::int64_t now_ms) const {
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& [deadline, position] : by_deadline_) {
        if (deadline > now_ms) break;
        const HeldEffect& held = by_position_.at(position);
        found.emplace_back(held.run_id, held.effect_key);
    }
    return found;
}

HeldPage HeldIndex::page(std::size_t limit, std::uint64_t after,
                         std::string_view run_prefix) const {
    HeldPage page;
    for (auto at = by_position_.upper_bound(after); at != by_position_.end(); ++at) {
        const HeldEffect& held = at->second;
        if (!held.run_id.starts_with(run_prefix)) continue;
        if (page.items.size() == limit) {
            page.next = page.items.back()->position;
            break;
        }
        page.items.push_back(&held);
    }
    return page;
}

}  // namespace latchwork::server
