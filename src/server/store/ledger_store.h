// ledger_store.h: a store that decides on the ledger it holds in memory: the memory and SQLite stores.
//
// The ledger is the authority for verdicts; the recorder makes each request's changes
// durable batch by batch. The held index keeps what the ledger does not: when each
// pending effect was held, in what order, and until when it may wait. Both are fed
// from the same change records, so neither can disagree with the other.
#pragma once

#include <memory>
#include <vector>

#include "server/core/apply_request.h"
#include "server/core/held_index.h"
#include "server/store/recorder.h"
#include "server/store/store.h"

namespace latchwork::server {

class LedgerStore final : public Store, private WaitingDetails {
public:
    explicit LedgerStore(std::unique_ptr<Recorder> recorder);
    LedgerStore(const LedgerStore&) = delete;
    LedgerStore& operator=(const LedgerStore&) = delete;

    // Loads the recorder's state into the ledger and its holds into the index, then
    // rejects what expired while no server ran. Set the hold timeout first.
    Result<std::monostate> load() override;
    Answer answer(const Request& request, const DecisionSource& source) override;

    void set_hold_timeout(std::chrono::milliseconds timeout) override {
        hold_timeout_ms_ = timeout.count();
    }
    std::optional<std::int64_t> next_expiry_check() const override { return held_.next_deadline(); }
    std::size_t expire_due(std::int64_t now_ms) override;
    void set_expiry_listener(std::function<void()> listener) override {
        expiry_listener_ = std::move(listener);
    }
    void set_decided_listener(DecidedListener listener) override {
        decided_listener_ = std::move(listener);
    }

    std::uint64_t last_recorded() const noexcept override { return recorder_->last_recorded(); }
    std::uint64_t durable() const noexcept override { return recorder_->durable(); }
    void set_durable_listener(std::function<void()> listener) override {
        recorder_->set_durable_listener(std::move(listener));
    }
    const Failure* failure() const noexcept override { return recorder_->failure(); }
    const LatencyHistogram* commit_latency() const noexcept override {
        return recorder_->commit_latency();
    }

    Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                              std::string_view run_prefix) override;
    Result<std::optional<RunState>> read_run(std::string_view run_id) override;
    Result<std::uint64_t> read_pending_count() override { return std::uint64_t{ledger_.pending_count()}; }
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override {
        return recorder_->read_audit(query);
    }

    // Takes holds into the index, as loaded from a recorder; one without a stored
    // deadline gets the hold timeout from its hold time.
    void index_holds(std::span<const StoredHold> holds);
    const HeldIndex& held() const noexcept { return held_; }
    const RunLedger& ledger() const noexcept { return ledger_; }

private:
    std::string_view detail_of(std::string_view run_id, std::string_view effect_key) override {
        const HeldEffect* held = held_.find(run_id, effect_key);
        return held != nullptr ? std::string_view(held->detail) : std::string_view();
    }

    std::unique_ptr<Recorder> recorder_;
    RunLedger ledger_;
    HeldIndex held_;
    std::int64_t hold_timeout_ms_ = 0;
    std::vector<StateChange> changes_;  // reused from request to request
    DecidedListener decided_listener_;
    std::function<void()> expiry_listener_;
};

}  // namespace latchwork::server
