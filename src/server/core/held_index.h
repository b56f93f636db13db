// held_index.h: the effects that wait (held, or approved and not yet taken), in the order they were held, with their deadlines and details.
//
// The ledger knows which effects wait but neither when they were held, in what
// order, until when they may wait, nor what their submitters said they are; approvers page through them oldest first
// and expiry takes the nearest deadline, so this index keeps all three. It is fed
// from the change records of decided requests, the same records the store takes, so
// it can never disagree with the ledger about what is pending.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/core/state_change.h"

namespace latchwork::server {

struct HeldEffect {
    std::uint64_t position = 0;  // grows with every hold; the paging cursor
    std::string run_id;
    std::string effect_key;
    std::int64_t held_at_ms = 0;  // Unix time in milliseconds
    std::int64_t deadline_ms = 0;  // likewise; 0 for none
    std::string detail;            // compact JSON; empty for none
    bool approved = false;         // a person approved it; its submitter has yet to take it
    std::string rule;              // the rule that held it; empty: its submitter asked
    std::vector<std::string> approvals;  // pending, under a rule's quorum: who approved it so far
    std::vector<std::string> editable;   // what of the detail an approver may change (JSON Pointers)
    std::string edited;                  // the detail as an approver changed it; empty: as submitted
};

struct HeldPage {
    std::vector<const HeldEffect*> items;  // valid until the index changes
    std::optional<std::uint64_t> next;     // cursor of the last item when more may follow
};

class HeldIndex {
public:
    // Applies one request's changes, taken at `now_ms`; what they hold may wait until
    // `deadline_ms` (0: for ever).
    void apply(std::span<const StateChange> changes, std::int64_t now_ms,
               std::int64_t deadline_ms = 0);
    // Records an effect already waiting (found in a loaded ledger).
    void hold(std::string_view run_id, std::string_view effect_key, std::int64_t held_at_ms,
              std::int64_t deadline_ms = 0, std::string_view detail = {}, bool approved = false,
              std::string_view rule = {}, std::span<const std::string> approvals = {},
              std::span<const std::string> editable = {}, std::string_view edited = {});

    // The effect if it waits, else null; valid until the index changes.
    const HeldEffect* find(std::string_view run_id, std::string_view effect_key) const;

    // The nearest deadline, if any effect has one.
    std::optional<std::int64_t> next_deadline() const;
    // The held effects whose deadline is at or before `now_ms`, nearest deadline first
    // (an approved effect was decided: it no longer expires).
    std::vector<std::pair<std::string, std::string>> due(std::int64_t now_ms) const;

    // Up to `limit` waiting effects held after the cursor `after` (0: from the start) whose run
    // id starts with `run_prefix`, oldest first.
    HeldPage page(std::size_t limit, std::uint64_t after, std::string_view run_prefix) const;

    std::size_t size() const noexcept { return by_position_.size(); }

    // Forgets the effect, if it waits.
    void drop(std::string_view run_id, std::string_view effect_key);

private:
    void approve(std::string_view run_id, std::string_view effect_key, std::string_view edited);
    void drop_run(std::string_view run_id);
    void forget_position(std::uint64_t position);

    std::map<std::uint64_t, HeldEffect> by_position_;
    std::map<std::pair<std::string, std::string>, std::uint64_t, std::less<>> by_key_;
    std::set<std::pair<std::int64_t, std::uint64_t>> by_deadline_;  // (deadline, position)
    std::uint64_t last_position_ = 0;
};

}  // namespace latchwork::server
