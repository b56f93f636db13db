// run_ledger.h: the whole state of one in-process gate, organised by run.
//
// Each run id maps to its two sticky flags and to its own effects, each effect in
// exactly one of the states pending, released, rejected or approved. Approved is the
// gate server's: a person approved a held effect and its submitter has yet to take
// the release; the in-process gate never enters it. Keeping the effects under
// their run makes cancelling and closing a run cost what that run holds rather than a
// scan of the whole ledger, stores each run id once, and makes "an effect is in at
// most one state" true by construction. Totals per state are kept beside the map so
// that both reported counts are read in constant time.
//
// Not thread-safe: the owner guards a ledger with its own lock.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "gate/effect_key.h"
#include "gate/effect_table.h"

namespace latchwork {

enum class EffectState : std::uint8_t { pending, released, rejected, approved };

// Held or approved: decided by nobody yet, or decided and not yet performed.
constexpr bool is_waiting(EffectState state) noexcept {
    return state == EffectState::pending || state == EffectState::approved;
}

struct RunRecord {
    bool cancelled = false;
    bool closed = false;
    EffectTable effects;  // empty once the run is closed

    bool stopped() const noexcept { return cancelled || closed; }
};

// An effect found in a run: its stored key, whose tag holds the state.
inline EffectState state_of(const EffectKey& effect) noexcept {
    return static_cast<EffectState>(effect.tag());
}

// A fixed-size digest of a run id, by which a ledger may remember a stopped run.
using RunDigest = std::array<std::uint8_t, 32>;
using RunDigester = RunDigest (*)(std::string_view run_id);

class RunLedger {
public:
    RunLedger() = default;
    // It remembers a pointer into itself.
    RunLedger(const RunLedger&) = delete;
    RunLedger& operator=(const RunLedger&) = delete;

    // The run's record, or null when no operation has named the run yet.
    const RunRecord* find_run(std::string_view run_id) const;
    RunRecord* find_run(std::string_view run_id);

    // The record of a run that find_run did not find, created empty.
    RunRecord& add_run(std::string_view run_id);
    // The run's record, created empty (no flags, no effects) when it is new.
    RunRecord& run(std::string_view run_id);

    // From now on a run that is stopped and holds no effect may be remembered by
    // `digest` of its id alone (see forget_stopped_id): a server sees runs without end,
    // and a stopped run's id would otherwise stay for ever. Set once, before any run.
    void remember_stopped_by(RunDigester digest) noexcept { digest_ = digest; }
    // Keeps only the digest and flags of the run when it is stopped and holds no effect;
    // find_run still finds it by its id. Does nothing without remember_stopped_by.
    void forget_stopped_id(std::string_view run_id);

    // Every effect change goes through these two so the per-state totals stay exact.
    // add_effect records an effect the run does not hold yet; change_state changes
    // one that find returned just before (nothing inserted since).
    void add_effect(RunRecord& run, std::string_view effect_key, EffectState state);
    void change_state(const EffectKey& effect, EffectState state);

    // Drops the run's waiting effects (pending or approved: never performed); released
    // and rejected ones stay.
    void purge_pending(RunRecord& run);
    // Drops every effect of the run.
    void purge_all(RunRecord& run);

    std::uint64_t pending_count() const noexcept { return totals_[index(EffectState::pending)]; }
    std::uint64_t released_count() const noexcept { return totals_[index(EffectState::released)]; }
    std::uint64_t rejected_count() const noexcept { return totals_[index(EffectState::rejected)]; }
    std::uint64_t approved_count() const noexcept { return totals_[index(EffectState::approved)]; }
    std::uint64_t state_len() const noexcept {
        return pending_count() + released_count() + rejected_count() + approved_count();
    }

private:
    static constexpr std::size_t index(EffectState state) noexcept {
        return static_cast<std::size_t>(state);
    }

    using RunMap = boost::unordered_flat_map<EffectKey, RunRecord, EffectKeyHash, EffectKeyEqual>;
    RunMap runs_;
    std::uint64_t totals_[4] = {0, 0, 0, 0};
    struct DigestHash {
        std::size_t operator()(const RunDigest& digest) const noexcept {
            std::size_t head;
            std::memcpy(&head, digest.data(), sizeof head);
            return head;
        }
    };
    using StoppedMap = boost::unordered_flat_map<RunDigest, RunRecord, DigestHash>;
    RunDigester digest_ = nullptr;
    StoppedMap stopped_;  // stopped runs without effects, by digest (empty without digest_)
    // Calls come in runs of the same run id; the last run found is checked first. A
    // new run may move every entry, so adding one forgets it.
    mutable const RunMap::value_type* last_run_ = nullptr;
};

}  // namespace latchwork
