// resident_ledger.cpp: the whole state held in memory, for the back ends that keep it so (memory, SQLite).
#include "server/store/resident_ledger.h"

#include <algorithm>
#include <iterator>

#include "hmac/sha256.h"

namespace latchwork::server {
namespace {

// A server sees runs without end: a stopped run is remembered by this, not its id.
RunDigest run_digest(std::string_view run_id) {
    Sha256 hash;
    hash.update(run_id);
    return finalize(hash);
}

}  // namespace

ResidentLedger::ResidentLedger() : deciding_(mutex_, std::defer_lock) {
    ledger_.remember_stopped_by(&run_digest);
}

void ResidentLedger::index_holds(std::span<const StoredHold> holds, std::int64_t hold_timeout_ms) {
    const std::lock_guard lock(mutex_);
    for (const StoredHold& hold : holds) {
        std::int64_t deadline = hold.deadline_ms;
        if (deadline == 0) deadline = DecisionClock{hold.held_at_ms, hold_timeout_ms}.hold_deadline();
        held_.hold(hold.run_id, hold.effect_key, hold.held_at_ms, deadline, hold.detail, hold.approved, hold.rule,
                   hold.approvals, hold.editable, hold.edited);
    }
}

void ResidentLedger::keep_releases(std::vector<KeptRelease> kept) {
    const std::lock_guard lock(mutex_);
    for (KeptRelease& release : kept) {
        std::pair<std::string, std::string> key{release.run_id, release.effect_key};
        releases_.insert_or_assign(std::move(key), std::move(release));
    }
}

void ResidentLedger::lock(BatchScope& scope) {
    deciding_.lock();
    scope.ledger = &ledger_;
    scope.details = this;
    scope.totals = nullptr;  // the ledger holds every run: its counts are the totals
}

void ResidentLedger::decided(const BatchRequest& item) {
    if (!item.changes.empty()) held_.apply(item.changes, item.at_ms, item.deadline_ms);
    if (item.kept) releases_.insert_or_assign({item.kept->run_id, item.kept->effect_key}, *item.kept);
    for (const StateChange& change : item.changes) {
        if (change.kind == StateChange::Kind::run_closed) drop_releases(change.run_id, true);
        if (change.kind == StateChange::Kind::run_cancelled) drop_releases(change.run_id, false);
    }
    // Gone from the index whatever the verdict, or expiry would find it due again at
    // once, for ever.
    if (item.source.door == DecisionSource::Door::expiry) {
        held_.drop(item.request.run_id, item.request.effect_key);
    }
}

void ResidentLedger::unlock() {
    if (deciding_.owns_lock()) deciding_.unlock();
}

std::string_view ResidentLedger::detail_of(std::string_view run_id, std::string_view effect_key) {
    const HeldEffect* held = held_.find(run_id, effect_key);
    return held != nullptr ? std::string_view(held->detail) : std::string_view();
}

std::string_view ResidentLedger::rule_of(std::string_view run_id, std::string_view effect_key) {
    const HeldEffect* held = held_.find(run_id, effect_key);
    return held != nullptr ? std::string_view(held->rule) : std::string_view();
}

std::span<const std::string> ResidentLedger::approvals_of(std::string_view run_id, std::string_view effect_key) {
    const HeldEffect* held = held_.find(run_id, effect_key);
    return held != nullptr ? std::span<const std::string>(held->approvals) : std::span<const std::string>();
}

const KeptRelease* ResidentLedger::release_of(std::string_view run_id, std::string_view effect_key) {
    const auto found = releases_.find({std::string(run_id), std::string(effect_key)});
    return found == releases_.end() ? nullptr : &found->second;
}

// Every record of the run when it is closed; when it is cancelled, those of approvals
// its submitters never took (their effects are gone).
void ResidentLedger::drop_releases(std::string_view run_id, bool taken_too) {
    auto at = releases_.lower_bound({std::string(run_id), std::string()});
    while (at != releases_.end() && at->first.first == run_id) {
        at = taken_too || !at->second.released() ? releases_.erase(at) : std::next(at);
    }
}

std::span<const std::string> ResidentLedger::editable_of(std::string_view run_id, std::string_view effect_key) {
    const HeldEffect* held = held_.find(run_id, effect_key);
    return held != nullptr ? std::span<const std::string>(held->editable) : std::span<const std::string>();
}

std::string_view ResidentLedger::edited_of(std::string_view run_id, std::string_view effect_key) {
    const HeldEffect* held = held_.find(run_id, effect_key);
    return held != nullptr ? std::string_view(held->edited) : std::string_view();
}

std::vector<std::pair<std::string, std::string>> ResidentLedger::due(std::int64_t now_ms, std::size_t limit) {
    const std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, std::string>> found = held_.due(now_ms);
    if (found.size() > limit) found.resize(limit);
    return found;
}

std::optional<std::int64_t> ResidentLedger::next_deadline() const {
    const std::lock_guard lock(mutex_);
    return held_.next_deadline();
}

std::vector<HeldEffect> ResidentLedger::read_held(std::size_t limit, std::uint64_t after,
                                                  std::string_view run_prefix) const {
    const std::lock_guard lock(mutex_);
    const HeldPage page = held_.page(limit, after, run_prefix);
    std::vector<HeldEffect> found;
    found.reserve(page.items.size());
    for (const HeldEffect* held : page.items) found.push_back(*held);
    return found;
}

std::optional<RunState> ResidentLedger::read_run(std::string_view run_id) const {
    const std::lock_guard lock(mutex_);
    const RunRecord* record = ledger_.find_run(run_id);
    if (record == nullptr) return std::nullopt;
    RunState found;
    found.cancelled = record->cancelled;
    found.closed = record->closed;
    record->effects.for_each([&](const EffectKey& key) {
        found.effects.emplace_back(std::string(key.view()), state_of(key));
    });
    std::sort(found.effects.begin(), found.effects.end());
    return found;
}

std::uint64_t ResidentLedger::pending_count() const {
    const std::lock_guard lock(mutex_);
    return ledger_.pending_count();
}

}  // namespace latchwork::server
