// resident_ledger.h: the whole state held in memory, for the back ends that keep it so (memory, SQLite).
//
// The ledger is the authority for verdicts; the held index keeps what the ledger does
// not: when each waiting effect was held, in what order, until when it may wait, and
// its detail. Both are fed from the same change records, so neither can disagree with
// the other. The loop decides a batch on the loop's thread while the network thread
// reads for the console, so both go through one lock, held while a batch is decided
// (microseconds per request), never while it is written.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "gate/run_ledger.h"
#include "server/core/apply_request.h"
#include "server/core/held_index.h"
#include "server/store/batch_request.h"
#include "server/store/store.h"
#include "server/store/store_backend.h"

namespace latchwork::server {

class ResidentLedger final : private WaitingDetails {
public:
    ResidentLedger();
    ResidentLedger(const ResidentLedger&) = delete;
    ResidentLedger& operator=(const ResidentLedger&) = delete;

    // Before serving: the ledger to load into, and the holds it has.
    RunLedger& ledger_to_load() noexcept { return ledger_; }
    // Takes holds into the index; one without a stored deadline gets `hold_timeout_ms`
    // from its hold time.
    void index_holds(std::span<const StoredHold> holds, std::int64_t hold_timeout_ms);
    // Takes what a file kept with released and approved effects.
    void keep_releases(std::vector<KeptRelease> kept);

    // lock_and_load: every run is loaded already; the lock keeps readers off until
    // unlock().
    void lock(BatchScope& scope);
    void decided(const BatchRequest& item);
    void unlock();

    std::vector<std::pair<std::string, std::string>> due(std::int64_t now_ms, std::size_t limit);
    std::optional<std::int64_t> next_deadline() const;

    std::vector<HeldEffect> read_held(std::size_t limit, std::uint64_t after, std::string_view run_prefix) const;
    std::optional<RunState> read_run(std::string_view run_id) const;
    std::uint64_t pending_count() const;

    // Tests: the index and the ledger as they stand, when nothing decides meanwhile.
    const HeldIndex& held() const noexcept { return held_; }
    const RunLedger& ledger() const noexcept { return ledger_; }

private:
    std::string_view detail_of(std::string_view run_id, std::string_view effect_key) override;
    std::string_view rule_of(std::string_view run_id, std::string_view effect_key) override;
    std::span<const std::string> approvals_of(std::string_view run_id, std::string_view effect_key) override;
    const KeptRelease* release_of(std::string_view run_id, std::string_view effect_key) override;
    void drop_releases(std::string_view run_id, bool taken_too);
    std::span<const std::string> editable_of(std::string_view run_id, std::string_view effect_key) override;
    std::string_view edited_of(std::string_view run_id, std::string_view effect_key) override;

    mutable std::mutex mutex_;
    std::unique_lock<std::mutex> deciding_;  // held from lock() to unlock(), by the loop
    RunLedger ledger_;
    HeldIndex held_;
    // What is kept with released and approved effects, by (run id, effect key): at most
    // one per effect the ledger holds released or approved, and only for those an
    // attempt took or a person approved; a run's go when it is closed, its untaken
    // approvals when it is cancelled.
    std::map<std::pair<std::string, std::string>, KeptRelease> releases_;
};

}  // namespace latchwork::server
