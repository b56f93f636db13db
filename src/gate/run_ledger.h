// run_ledger.h: the whole state of one in-process gate, organised by run.
//
// Each run id maps to its two sticky flags and to its own effects, each effect in
// exactly one of the states pending, released or rejected. Keeping the effects under
// their run makes cancelling and closing a run cost what that run holds rather than a
// scan of the whole ledger, stores each run id once, and makes "an effect is in at
// most one state" true by construction. Totals per state are kept beside the map so
// that both reported counts are read in constant time.
//
// Not thread-safe: the owner guards a ledger with its own lock.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace latchwork {

enum class EffectState : std::uint8_t { pending, released, rejected };

// Hashes std::string and std::string_view alike, so lookups need no copy of the key.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

// Open addressing keeps a lookup to about one cache miss where a node-based map
// takes several; with a million effects that is most of the cost of a submit.
template <class Value>
using StringMap = boost::unordered_flat_map<std::string, Value, StringHash, std::equal_to<>>;

struct RunRecord {
    bool cancelled = false;
    bool closed = false;
    StringMap<EffectState> effects;  // empty once the run is closed

    bool stopped() const noexcept { return cancelled || closed; }
};

class RunLedger {
public:
    // The run's record, or null when no operation has named the run yet.
    const RunRecord* find_run(std::string_view run_id) const;
    RunRecord* find_run(std::string_view run_id);

    // The run's record, created empty (no flags, no effects) when it is new.
    RunRecord& run(std::string_view run_id);

    // Every effect change goes through these two so the per-state totals stay exact.
    // The iterator form changes an effect found in `run` just before; it stays valid
    // because nothing was inserted since.
    void set_effect_state(RunRecord& run, std::string_view effect_key, EffectState state);
    void set_effect_state(StringMap<EffectState>::iterator effect, EffectState state);

    // Drops the run's pending effects; released and rejected ones stay.
    void purge_pending(RunRecord& run);
    // Drops every effect of the run.
    void purge_all(RunRecord& run);

    std::uint64_t pending_count() const noexcept { return totals_[index(EffectState::pending)]; }
    std::uint64_t released_count() const noexcept { return totals_[index(EffectState::released)]; }
    std::uint64_t rejected_count() const noexcept { return totals_[index(EffectState::rejected)]; }
    std::uint64_t state_len() const noexcept {
        return pending_count() + released_count() + rejected_count();
    }

private:
    static constexpr std::size_t index(EffectState state) noexcept {
        return static_cast<std::size_t>(state);
    }

    StringMap<RunRecord> runs_;
    std::uint64_t totals_[3] = {0, 0, 0};
};

}  // namespace latchwork
