// held_index.h: the effects that wait for a decision, in the order they were held.
//
// The ledger knows which effects are pending but neither when they were held nor in
// what order; approvers page through them oldest first, so this index keeps both. It
// is fed from the change records of decided requests, the same records the store
// takes, so it can never disagree with the ledger about what is pending.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/store.h"

namespace latchwork::server {

struct HeldEffect {
    std::uint64_t position = 0;  // grows with every hold; the paging cursor
    std::string run_id;
    std::string effect_key;
    std::int64_t held_at_ms = 0;  // Unix time in milliseconds
};

struct HeldPage {
    std::vector<const HeldEffect*> items;  // valid until the index changes
    std::optional<std::uint64_t> next;     // cursor of the last item when more may follow
};

class HeldIndex {
public:
    // Applies one request's changes, taken at `now_ms`.
    void apply(std::span<const StateChange> changes, std::int64_t now_ms);
    // Records an effect already pending (found in a loaded ledger).
    void hold(std::string_view run_id, std::string_view effect_key, std::int64_t held_at_ms);

    // Up to `limit` effects held after the cursor `after` (0: from the start) whose run
    // id starts with `run_prefix`, oldest first.
    HeldPage page(std::size_t limit, std::uint64_t after, std::string_view run_prefix) const;

    std::size_t size() const noexcept { return by_position_.size(); }

private:
    void drop(std::string_view run_id, std::string_view effect_key);
    void drop_run(std::string_view run_id);

    std::map<std::uint64_t, HeldEffect> by_position_;
    std::map<std::pair<std::string, std::string>, std::uint64_t, std::less<>> by_key_;
    std::uint64_t last_position_ = 0;
};

}  // namespace latchwork::server
