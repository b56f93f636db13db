// batch_store.cpp: the one store: requests gathered into batches, each decided and written over a back end that fills every step.
#include "server/store/batch_store.h"

#include "server/core/console_link.h"
#include "server/core/reply_writer.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <utility>

#include "server/core/apply_request.h"
#include "server/core/diagnostics.h"

namespace latchwork::server {
namespace {

// The most holds one sweep rejects: the rest are left for the next.
constexpr std::size_t kExpiryBatch = 1000;
// A batch that keeps meeting conflicts with other servers is given up after this many tries.
constexpr int kMostAttempts = 20;

std::string failed_message(std::string_view why) { return "store failed: " + std::string(why); }

// Set while the network thread writes a lone client's batch itself: the batch's end is
// then told there at once, not posted for a later turn of the loop.
thread_local bool writing_on_network_thread = false;

}  // namespace

BatchStore::BatchStore(std::unique_ptr<StoreBackend> backend, boost::asio::io_context& io, AuditBounds bounds)
    : backend_(std::move(backend)), capabilities_(backend_->capabilities()), io_(io), pruning_(bounds.retention) {}

BatchStore::~BatchStore() {
    // Every thread is told first, so that their last calls to a database, each bounded
    // by the timeout, run side by side rather than one after another.
    stopping_ = true;
    if (SharedLink* link = backend_->shared_link()) link->request_stop();
    batcher_.stop();
    backend_->close();
}

Result<std::monostate> BatchStore::load() {
    const std::chrono::milliseconds hold_timeout(hold_timeout_ms_.load());
    if (Result<std::monostate> loaded = backend_->load(hold_timeout); !loaded) return loaded;
    // What expired while no server ran is rejected before anyone is answered.
    Batch sweep;
    sweep.sweep = true;
    const Outcome outcome = serve(sweep);
    if (outcome.kind == Outcome::Kind::broken) return Failure{outcome.message};
    if (SharedLink* link = backend_->shared_link(); link != nullptr && !link->connected()) {
        return Failure{link->outage().value_or("the database cannot be reached")};
    }
    if (!capabilities_.writes_at_once) {
        Batcher<Batch>::Steps steps{[this](std::uint64_t number, Batch& batch) { commit(number, batch); },
                                    [this] { return upkeep_due(); }, [this] { upkeep(); }, {}};
        if (capabilities_.writes_here) {
            // A lone client's batch is written on the network thread, after the handlers
            // already due there (the rest of what it read): the write blocks a loop that
            // has nothing else to do, and no thread is woken twice per request.
            steps.commit_here_soon = [this] {
                boost::asio::post(io_, [this] {
                    writing_on_network_thread = true;
                    batcher_.commit_here();
                    writing_on_network_thread = false;
                });
            };
        }
        batcher_.start(std::move(steps));
    }
    if (SharedLink* link = backend_->shared_link()) {
        link->start_hearing([this](const Decision& decision) {
            if (decided_listener_) decided_listener_(decision);
        });
    }
    return std::monostate{};
}

Answer BatchStore::answer(const Request& request, const DecisionSource& source) {
    auto slot = std::make_shared<Reply>();
    if (capabilities_.writes_at_once) {
        // A listener told of this decision may take another request: it gets a batch of
        // its own.
        Batch own;
        Batch& batch = at_once_busy_ ? own : at_once_;
        at_once_busy_ = true;
        batch.items.emplace_back(request, source);
        batch.slots.push_back(slot);
        const std::uint64_t number = ++last_recorded_;
        const Outcome outcome = serve(batch);
        finished(number, batch, outcome, 0, false);
        batch.clear();
        if (&batch == &at_once_) at_once_busy_ = false;
        return Answer{std::shared_ptr<const Reply>(std::move(slot)), number};
    }
    last_recorded_ = batcher_.add([&](Batch& open) {
        open.items.emplace_back(request, source);
        open.slots.push_back(slot);
    });
    return Answer{std::shared_ptr<const Reply>(std::move(slot)), last_recorded_};
}

std::optional<std::int64_t> BatchStore::next_expiry_check() const {
    // A sweep on its way: looked at again once it is done (finished() says so).
    if (sweep_batch_ != 0) return std::nullopt;
    return backend_->next_expiry_check(unix_time_ms());
}

std::size_t BatchStore::expire_due(std::int64_t now_ms) {
    if (failure_) return 0;
    if (capabilities_.writes_at_once) {
        Batch batch;
        batch.sweep = true;
        batch.sweep_at_ms = now_ms;
        const std::uint64_t number = ++last_recorded_;
        const Outcome outcome = serve(batch);
        const std::size_t expired = batch.items.size();
        finished(number, batch, outcome, 0, false);
        return expired;
    }
    // One sweep at a time: a second would find the same holds.
    if (sweep_batch_ == 0) sweep_batch_ = batcher_.add([](Batch& open) { open.sweep = true; });
    return 0;
}

void BatchStore::commit(std::uint64_t number, Batch& batch) {
    const Clock::time_point started = Clock::now();
    write_started_ns_ = std::max<std::int64_t>(1, started.time_since_epoch().count());
    Outcome outcome = serve(batch);
    write_started_ns_ = 0;
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (writing_on_network_thread) {
        finished(number, batch, outcome, seconds, true);
        return;
    }
    boost::asio::post(io_, [this, number, seconds, outcome = std::move(outcome),
                            done = Batch{std::move(batch.items), std::move(batch.slots), batch.sweep, batch.sweep_at_ms}]() mutable {
        finished(number, done, outcome, seconds, true);
    });
    batch.clear();
}

void BatchStore::expand_sweep(Batch& batch) {
    if (!batch.sweep) return;
    batch.sweep = false;
    const std::int64_t at_ms = batch.sweep_at_ms != 0 ? batch.sweep_at_ms : unix_time_ms();
    SharedLink* link = backend_->shared_link();
    if (broken_ || (link != nullptr && !link->connected())) return;
    Result<std::vector<std::pair<std::string, std::string>>> due = backend_->due_holds(at_ms, kExpiryBatch);
    if (!due) {
        // Found out between batches: the next request need not be the one to learn it.
        if (link != nullptr && !link->connected()) note_lost(due.error());
        return;
    }
    for (auto& [run_id, effect_key] : due.value()) {
        BatchRequest expiry;
        expiry.request.op = Operation::decide;
        expiry.request.run_id = std::move(run_id);
        expiry.request.effect_key = std::move(effect_key);
        expiry.request.flag = false;
        expiry.source.door = DecisionSource::Door::expiry;
        batch.items.push_back(std::move(expiry));
        batch.slots.emplace_back();
    }
}

BatchStore::Outcome BatchStore::serve(Batch& batch) {
    expand_sweep(batch);
    if (batch.items.empty()) return {};
    // After a failed write nothing is known about what reached the disk.
    if (broken_) return {Outcome::Kind::broken, "store failed: an earlier write failed"};
    SharedLink* link = backend_->shared_link();
    if (link != nullptr && !link->connected()) try_reconnect();
    bool reconnected = false;
    for (int attempt = 1;; ++attempt) {
        if (link != nullptr && !link->connected()) {
            return {Outcome::Kind::answered, failed_message(link->outage().value_or("the database cannot be reached"))};
        }
        const BackendStep step = this->attempt(batch.items, DecisionClock{unix_time_ms(), hold_timeout_ms_.load()});
        switch (step.kind) {
        case BackendStep::Kind::done:
            return {};
        case BackendStep::Kind::retry:
            if (attempt < kMostAttempts) continue;
            return {Outcome::Kind::answered,
                    failed_message("gave up after " + std::to_string(attempt) + " attempts: " + step.message)};
        case BackendStep::Kind::refused:
            return {Outcome::Kind::answered, failed_message(step.message)};
        case BackendStep::Kind::lost:
            note_lost(step.message);
            // A connection the database dropped while idle (a restart, an idle timeout)
            // fails the batch before anything of it could commit: one fresh connection
            // tries again. Not after a commit that may have happened, nor after the whole
            // timeout: its clients have waited long enough.
            if (step.may_have_committed || step.timed_out || reconnected || link == nullptr) {
                return {Outcome::Kind::answered, failed_message(step.message)};
            }
            reconnected = true;
            try_reconnect();
            continue;
        case BackendStep::Kind::broken:
            broken_ = true;
            return {Outcome::Kind::broken, step.message};
        }
    }
}

BackendStep BatchStore::attempt(std::vector<BatchRequest>& requests, const DecisionClock& clock) {
    BatchScope scope;
    if (BackendStep loaded = backend_->lock_and_load(requests, scope); loaded.failed()) return loaded;
    audit_.clear();
    matched_.clear();
    // The rules in force now decide the whole batch, and stay alive until it is done even
    // when a reload replaces them meanwhile.
    const std::shared_ptr<const EffectRules> rules = rules_ != nullptr ? rules_->current() : nullptr;
    const bool shadow = rules_ != nullptr && rules_->mode() == RulesMode::shadow;
    for (BatchRequest& item : requests) {
        changes_.clear();
        std::optional<Applied> applied = apply_request(*scope.ledger, item.request, item.source.view(), clock,
                                                       changes_, *scope.details, scope.totals, rules.get(), shadow,
                                                       scope.grants);
        if (!applied) {
            // Only a count asked elsewhere fails so; the back end says how it ended.
            backend_->abandon();
            return scope.count_failure != nullptr
                       ? *scope.count_failure
                       : BackendStep{BackendStep::Kind::refused, "the totals or grants could not be read"};
        }
        item.reply = std::move(applied->reply);
        if (item.request.attempt && !console_url_.empty() && item.reply.verdict.is(VerdictKind::held_for_approval)) {
            item.reply.line =
                held_with_link_reply(console_link(console_url_, item.request.run_id, item.request.effect_key));
        }
        item.changes.swap(changes_);
        item.at_ms = clock.now_ms;
        item.deadline_ms = applied->deadline_ms != 0 ? applied->deadline_ms : clock.hold_deadline();
        item.recorded = !item.changes.empty() || applied->audit.has_value() || applied->would.has_value();
        item.granted = std::move(applied->granted);
        item.revoked = std::move(applied->revoked);
        item.kept = std::move(applied->kept);
        if (applied->audit) audit_.push_back(std::move(*applied->audit));
        if (applied->grant_entry) audit_.push_back(std::move(*applied->grant_entry));
        if (applied->would) audit_.push_back(std::move(*applied->would));
        if (applied->matched) matched_.emplace_back(applied->matched->rule, applied->matched->action);
        backend_->decided(item);
    }
    BackendStep written = backend_->write(requests, audit_);
    // Counted once the batch is written: a batch tried again counts once.
    if (written.kind == BackendStep::Kind::done) {
        for (const auto& [rule, action] : matched_) rules_->count_match(rule, action);
    }
    return written;
}

void BatchStore::note_lost(const std::string& why) {
    diagnose("store connection lost: " + why + "; reconnecting");
    backend_->shared_link()->disconnect(why);
    backoff_.reset();
    next_attempt_ = Clock::now();
}

void BatchStore::try_reconnect() {
    SharedLink* link = backend_->shared_link();
    const Clock::time_point now = Clock::now();
    if (now < next_attempt_ || stopping_ || link->connected()) return;
    if (std::optional<std::string> failed = link->reconnect()) {
        next_attempt_ = Clock::now() + backoff_.failed();
        return;
    }
    backoff_.reset();
    next_announce_ = {};
    diagnose("store connection restored");
}

std::optional<BatchStore::Clock::time_point> BatchStore::upkeep_due() {
    if (broken_) return std::nullopt;
    // Away: keep trying, so the server is ready before the next request.
    if (SharedLink* link = backend_->shared_link(); link != nullptr && !link->connected()) return next_attempt_;
    std::optional<Clock::time_point> due;
    if (Journal* journal = backend_->journal()) due = journal->fold_due();
    if (capabilities_.prunes_audit) due = due ? std::min(*due, pruning_.due()) : pruning_.due();
    if (backend_->shared_link() != nullptr) due = due ? std::min(*due, next_announce_) : next_announce_;
    return due;
}

void BatchStore::announce_rules(SharedLink& link) {
    next_announce_ = Clock::now() + kServerAnnouncePeriod;
    ServerRules self;
    if (rules_ != nullptr) {
        const std::shared_ptr<const EffectRules> rules = rules_->current();
        self.digest = std::string(rules->digest());
        self.shadow = rules_->mode() == RulesMode::shadow;
    }
    std::optional<std::string> failed = link.announce(self);
    if (!failed) return;
    if (!link.connected()) {
        note_lost(*failed);
    } else {
        // Only the console's warning rests on it: said, and tried again later.
        diagnose("announcing this server's rules failed: " + *failed);
    }
}

void BatchStore::upkeep() {
    if (broken_) return;
    if (SharedLink* link = backend_->shared_link(); link != nullptr && !link->connected()) {
        try_reconnect();
        return;
    }
    const Clock::time_point now = Clock::now();
    if (SharedLink* link = backend_->shared_link(); link != nullptr && now >= next_announce_) announce_rules(*link);
    std::optional<Failure> failed;
    if (Journal* journal = backend_->journal()) {
        if (const std::optional<Clock::time_point> fold = journal->fold_due(); fold && *fold <= now) {
            failed = journal->fold_slice();
        }
    }
    if (!failed && capabilities_.prunes_audit && pruning_.is_due(now)) {
        Result<std::uint64_t> pruned =
            backend_->prune_audit(unix_time_ms() - pruning_.retention().count(), AuditPruning::kSlice);
        pruning_.stepped(Clock::now(), pruned ? pruned.value() : 0);
        if (!pruned && backend_->shared_link() != nullptr) {
            // Tried again later: the next batch finds out for itself whether the
            // connection still serves.
            diagnose("pruning the audit log failed: " + pruned.error());
        } else if (!pruned) {
            failed = std::move(pruned).take_failure();
        }
    }
    if (!failed) return;
    // A local file that failed holds what it holds: nothing more is written to it.
    broken_ = true;
    boost::asio::post(io_, [this, failed = std::move(*failed)]() mutable {
        Batch none;
        finished(0, none, Outcome{Outcome::Kind::broken, std::move(failed.message)}, -1, true);
    });
}

std::optional<std::string> BatchStore::outage() const {
    SharedLink* link = backend_->shared_link();
    if (link == nullptr) return std::nullopt;
    std::optional<std::string> why = link->outage();
    if (!why) return std::nullopt;
    return failed_message(*why);
}

std::optional<std::string> BatchStore::stalled() const {
    const std::int64_t started = write_started_ns_;
    if (started == 0 || capabilities_.timeout.count() <= 0) return std::nullopt;
    const auto waited = Clock::now().time_since_epoch() - Clock::duration(started);
    if (waited <= capabilities_.timeout) return std::nullopt;
    return "a commit has waited " +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()) +
           " ms for the database";
}

// seconds: what the write took; negative for upkeep, which no reply waited for.
void BatchStore::finished(std::uint64_t number, Batch& batch, const Outcome& outcome, double seconds,
                          bool tell_durable) {
    if (failure_) return;  // told once; what follows a failure says nothing new
    if (outcome.kind == Outcome::Kind::broken) {
        failure_ = Failure{outcome.message};
        if (listener_) listener_();
        return;
    }
    const bool decided = outcome.kind == Outcome::Kind::decided;
    if (decided && !batch.items.empty() && seconds >= 0) commit_latency_.observe(seconds);
    std::int64_t nearest_new_deadline = 0;
    std::optional<Reply> refused;
    if (!decided) refused = refusal(outcome.message);
    for (std::size_t i = 0; i < batch.items.size(); ++i) {
        BatchRequest& item = batch.items[i];
        if (decided) {
            if (decided_listener_) {
                decided_listener_(Decision{&item.request, verdict_text(item.reply.verdict), item.changes,
                                           item.source.view(), item.recorded ? number : 0, item.at_ms,
                                           item.deadline_ms});
            }
            if (item.deadline_ms != 0 && !item.changes.empty() &&
                (nearest_new_deadline == 0 || item.deadline_ms < nearest_new_deadline)) {
                nearest_new_deadline = item.deadline_ms;
            }
        }
        if (const std::shared_ptr<Reply>& slot = batch.slots[i]) *slot = decided ? std::move(item.reply) : *refused;
    }
    durable_ = std::max(durable_, number);
    bool rearm = false;
    if (sweep_batch_ != 0 && number >= sweep_batch_) {
        sweep_batch_ = 0;
        rearm = true;
    }
    if (tell_durable && listener_) listener_();
    // The timer is set again after a sweep, and when a new hold is the nearest deadline.
    if (!rearm && nearest_new_deadline != 0) {
        const std::optional<std::int64_t> next = next_expiry_check();
        rearm = next && *next == nearest_new_deadline;
    }
    if (rearm && expiry_listener_) expiry_listener_();
}

}  // namespace latchwork::server
