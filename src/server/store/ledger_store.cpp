// ledger_store.cpp: a store that decides on the ledger it holds in memory: the memory and SQLite stores.
#include "server/store/ledger_store.h"

#include <algorithm>

#include "hmac/sha256.h"
#include "server/core/apply_request.h"

namespace latchwork::server {

namespace {

// A server sees runs without end: a stopped run is remembered by this, not its id.
RunDigest run_digest(std::string_view run_id) {
    Sha256 hash;
    hash.update(run_id);
    return finalize(hash);
}

}  // namespace

LedgerStore::LedgerStore(std::unique_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {
    ledger_.remember_stopped_by(&run_digest);
}

Result<std::monostate> LedgerStore::load() {
    if (Result<std::monostate> loaded = recorder_->load(ledger_); !loaded) return loaded;
    Result<std::vector<StoredHold>> holds = recorder_->loaded_holds();
    if (!holds) return std::move(holds).take_failure();
    index_holds(holds.value());
    // What expired while the server was down is rejected before anyone is answered.
    expire_due(unix_time_ms());
    return std::monostate{};
}

Answer LedgerStore::answer(const Request& request, const DecisionSource& source) {
    changes_.clear();
    const DecisionClock clock{unix_time_ms(), hold_timeout_ms_};
    // The ledger counts for itself: nothing here can fail.
    Applied applied = *apply_request(ledger_, request, source, clock, changes_, *this);
    const std::span<const AuditEntry> audit =
        applied.audit ? std::span<const AuditEntry>(&*applied.audit, 1) : std::span<const AuditEntry>();
    const std::uint64_t batch =
        changes_.empty() && audit.empty() ? 0 : recorder_->record(changes_, audit);
    const std::int64_t deadline = clock.hold_deadline();
    if (!changes_.empty()) {
        held_.apply(changes_, clock.now_ms, deadline);
        // A timer set for a later deadline, or none, must be set again.
        if (deadline != 0 && expiry_listener_ && held_.next_deadline() == deadline) expiry_listener_();
    }
    if (decided_listener_) {
        decided_listener_(Decision{&request, verdict_text(applied.reply.verdict), changes_, source,
                                   batch, clock.now_ms, deadline});
    }
    return Answer{std::move(applied.reply), batch != 0 ? batch : recorder_->last_recorded()};
}

void LedgerStore::index_holds(std::span<const StoredHold> holds) {
    for (const StoredHold& hold : holds) {
        std::int64_t deadline = hold.deadline_ms;
        if (deadline == 0) deadline = DecisionClock{hold.held_at_ms, hold_timeout_ms_}.hold_deadline();
        held_.hold(hold.run_id, hold.effect_key, hold.held_at_ms, deadline, hold.detail,
                   hold.approved);
    }
}

std::size_t LedgerStore::expire_due(std::int64_t now_ms) {
    std::size_t expired = 0;
    for (auto& [run_id, effect_key] : held_.due(now_ms)) {
        if (recorder_->failure() != nullptr) break;
        Request request;
        request.op = Operation::decide;
        request.run_id = std::move(run_id);
        request.effect_key = std::move(effect_key);
        request.flag = false;
        answer(request, DecisionSource{DecisionSource::Door::expiry, {}, false, {}});
        // Gone from the index whatever the verdict, or the timer would find it due again
        // at once, for ever.
        held_.drop(request.run_id, request.effect_key);
        ++expired;
    }
    return expired;
}

Result<std::vector<HeldEffect>> LedgerStore::read_held(std::size_t limit, std::uint64_t after,
                                                       std::string_view run_prefix) {
    const HeldPage page = held_.page(limit, after, run_prefix);
    std::vector<HeldEffect> found;
    found.reserve(page.items.size());
    for (const HeldEffect* held : page.items) found.push_back(*held);
    return found;
}

Result<std::optional<RunState>> LedgerStore::read_run(std::string_view run_id) {
    const RunRecord* record = ledger_.find_run(run_id);
    if (record == nullptr) return std::optional<RunState>();
    RunState found;
    found.cancelled = record->cancelled;
    found.closed = record->closed;
    record->effects.for_each([&](const EffectKey& key) {
        found.effects.emplace_back(std::string(key.view()), state_of(key));
    });
    std::sort(found.effects.begin(), found.effects.end());
    return std::optional<RunState>(std::move(found));
}

}  // namespace latchwork::server
