// request_handler.cpp: one request line decided against the ledger, with the reply it earns.
//
// The verdicts come from the gate operations alone; the recording forms of them
// (state_change.h) say what each one changed, for the store.
#include "server/store/request_handler.h"

#include "gate/gate_operations.h"
#include "hmac/decision_tag.h"
#include "server/core/reply_writer.h"
#include "server/core/request.h"
#include "server/core/request_errors.h"
#include "server/core/state_change.h"
#include "support/constant_time.h"

namespace latchwork::server {
namespace {

bool authenticated(const SecretBytes* secret, const Request& request) {
    if (secret == nullptr) return true;
    if (!request.mac) return false;
    const std::string expected =
        compute_decision_tag(secret->view(), request.run_id, request.effect_key, request.flag);
    return constant_time_equal(expected, *request.mac);
}

DecisionSource audit_source(const Provenance& provenance) {
    if (provenance.expiry) return DecisionSource{DecisionSource::Door::expiry, {}, false, {}};
    if (!provenance.approver.empty()) {
        return DecisionSource{DecisionSource::Door::console, provenance.approver, false,
                              provenance.reason};
    }
    return DecisionSource{DecisionSource::Door::line, provenance.peer, provenance.mac_verified, {}};
}

}  // namespace

void RequestHandler::tell(const Request* request, std::string_view verdict,
                          std::uint64_t batch, const Provenance& provenance) {
    if (observer_ != nullptr) observer_->handled(request, verdict, changes_, batch, provenance);
}

Answer RequestHandler::handle(std::string_view line, std::string_view peer) {
    changes_.clear();
    // After a failed commit the ledger may be ahead of the disk: no verdict is safe.
    if (const Failure* failed = store_.failure()) {
        tell(nullptr, "error", 0, {});
        return Answer{error_reply(failed->message), 0};
    }
    Result<Request> parsed = parse_request(line, limits_);
    if (!parsed) {
        tell(nullptr, "error", 0, {});
        return Answer{error_reply(parsed.error()), 0};
    }
    const Request& request = parsed.value();
    if (request.op == Operation::decide && !authenticated(secret_, request)) {
        tell(&request, "error", 0, {});
        return Answer{error_reply(not_authenticated_message()), 0};
    }
    if (auto refused = secret_ ? refuse_line_feed_ids(request) : std::nullopt) {
        tell(&request, "error", 0, {});
        return Answer{error_reply(*refused), 0};
    }
    Provenance from;
    from.peer = peer;
    from.mac_verified = request.op == Operation::decide && secret_ != nullptr;
    return decide_request(request, from);
}

Answer RequestHandler::handle_verified(const Request& request, const Provenance& provenance) {
    changes_.clear();
    if (const Failure* failed = store_.failure()) {
        tell(&request, "error", 0, provenance);
        return Answer{error_reply(failed->message), 0};
    }
    return decide_request(request, provenance);
}

Answer RequestHandler::decide_request(const Request& request, const Provenance& provenance) {
    std::string reply;
    std::string_view verdict = "ok";
    if (request.op == Operation::ping) {
        // Reflects no state at all.
        tell(&request, "pong", 0, provenance);
        return Answer{verdict_reply("pong"), 0};
    }
    if (store_.decides_requests()) {
        // Decided in the store's own transaction; the verdict is not known yet.
        auto deferred = std::make_shared<DeferredReply>();
        const std::uint64_t batch = store_.take_request(request, audit_source(provenance), deferred);
        return Answer{batch, std::move(deferred)};
    }
    switch (request.op) {
        case Operation::ping:  // answered above
            break;
        case Operation::submit:
            verdict = verdict_kind_text(recorded_submit(ledger_, request.run_id,
                                                        request.effect_key, request.flag, changes_));
            reply = verdict_reply(verdict);
            break;
        case Operation::decide:
            verdict = verdict_kind_text(recorded_decide(ledger_, request.run_id,
                                                        request.effect_key, request.flag, changes_));
            reply = verdict_reply(verdict);
            break;
        case Operation::cancel:
            recorded_cancel(ledger_, request.run_id, changes_);
            reply = verdict_reply("ok");
            break;
        case Operation::close_run:
            recorded_close_run(ledger_, request.run_id, changes_);
            reply = verdict_reply("ok");
            break;
        case Operation::is_cancelled:
            reply = flag_reply(gate_is_cancelled(ledger_, request.run_id));
            break;
        case Operation::is_closed:
            reply = flag_reply(gate_is_closed(ledger_, request.run_id));
            break;
        case Operation::pending_count:
            reply = count_reply(ledger_.pending_count());
            break;
        case Operation::state_len:
            reply = count_reply(ledger_.state_len());
            break;
    }
    const std::int64_t now = unix_time_ms();
    const std::int64_t deadline = hold_timeout_.count() != 0 ? now + hold_timeout_.count() : 0;
    const std::optional<AuditEntry> entry =
        audit_entry_for(request, verdict, changes_, audit_source(provenance), now, deadline);
    const std::span<const AuditEntry> audit =
        entry ? std::span<const AuditEntry>(&*entry, 1) : std::span<const AuditEntry>();
    const std::uint64_t batch = changes_.empty() && !entry ? 0 : store_.record(changes_, audit);
    if (!changes_.empty()) {
        held_.apply(changes_, now, deadline);
        // A timer set for a later deadline, or none, must be set again.
        if (deadline != 0 && hold_listener_ && held_.next_deadline() == deadline) hold_listener_();
    }
    tell(&request, verdict, batch, provenance);
    return Answer{std::move(reply), batch != 0 ? batch : store_.last_recorded()};
}

RequestHandler::RequestHandler(RunLedger& ledger, Store& store, const SecretBytes* secret)
    : ledger_(ledger), store_(store), secret_(secret) {
    if (!store_.decides_requests()) return;
    // Such a store learns the verdicts; the observers hear of them when it has them.
    store_.set_decided_listener([this](const Store::Decision& decision) {
        if (observer_ == nullptr) return;
        Provenance from;
        switch (decision.source.door) {
            case DecisionSource::Door::line:
                from.peer = decision.source.who;
                from.mac_verified = decision.source.mac_verified;
                break;
            case DecisionSource::Door::console:
                from.approver = decision.source.who;
                from.reason = decision.source.reason;
                break;
            case DecisionSource::Door::expiry:
                from.expiry = true;
                break;
        }
        from.held_at_ms = decision.at_ms;
        from.deadline_ms = decision.deadline_ms;
        observer_->handled(&decision.request, decision.verdict, decision.changes, decision.batch,
                           from);
    });
}

RequestHandler::~RequestHandler() {
    if (store_.decides_requests()) store_.set_decided_listener({});
}

void RequestHandler::index_holds(std::span<const StoredHold> holds) {
    for (const StoredHold& hold : holds) {
        std::int64_t deadline = hold.deadline_ms;
        if (deadline == 0 && hold_timeout_.count() != 0) deadline = hold.held_at_ms + hold_timeout_.count();
        held_.hold(hold.run_id, hold.effect_key, hold.held_at_ms, deadline);
    }
}

std::size_t RequestHandler::expire_due(std::int64_t now_ms) {
    std::size_t expired = 0;
    for (auto& [run_id, effect_key] : held_.due(now_ms)) {
        if (store_.failure() != nullptr) break;
        Request request;
        request.op = Operation::decide;
        request.run_id = std::move(run_id);
        request.effect_key = std::move(effect_key);
        request.flag = false;
        Provenance by_expiry;
        by_expiry.expiry = true;
        changes_.clear();
        decide_request(request, by_expiry);
        // Gone from the index whatever the verdict, or the timer would find it due again
        // at once, for ever.
        held_.drop(request.run_id, request.effect_key);
        ++expired;
    }
    return expired;
}

}  // namespace latchwork::server
