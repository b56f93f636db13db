// request_handler.cpp: one request line decided against the ledger, with the reply it earns.
//
// The verdicts come from the gate operations alone. What a decision changed is read
// off the verdict and the ledger's totals around it, never worked out a second time.
#include "server/request_handler.h"

#include "gate/gate_operations.h"
#include "hmac/decision_tag.h"
#include "server/reply_writer.h"
#include "server/request.h"
#include "server/request_errors.h"
#include "support/constant_time.h"

namespace latchwork::server {
namespace {

using Kind = ChangeRecord::Kind;

bool authenticated(const SecretBytes* secret, const Request& request) {
    if (secret == nullptr) return true;
    if (!request.mac) return false;
    const std::string expected =
        compute_decision_tag(secret->view(), request.run_id, request.effect_key, request.flag);
    return constant_time_equal(expected, *request.mac);
}

}  // namespace

void RequestHandler::tell(const Request* request, std::string_view verdict,
                          std::uint64_t batch, const Provenance& provenance) {
    if (observer_ != nullptr) observer_->handled(request, verdict, changes_, batch, provenance);
}

Answer RequestHandler::handle(std::string_view line) {
    changes_.clear();
    Result<Request> parsed = parse_request(line);
    if (!parsed) {
        tell(nullptr, "error", 0, {});
        return Answer{error_reply(parsed.error()), 0};
    }
    const Request& request = parsed.value();
    if (request.op == Operation::decide && !authenticated(secret_, request)) {
        tell(&request, "error", 0, {});
        return Answer{error_reply(not_authenticated_message()), 0};
    }
    return decide_request(request, {});
}

Answer RequestHandler::handle_verified(const Request& request, const Provenance& provenance) {
    changes_.clear();
    return decide_request(request, provenance);
}

Answer RequestHandler::decide_request(const Request& request, const Provenance& provenance) {
    // The parser leaves effect_key empty for the run operations.
    auto changed = [&](Kind kind) {
        changes_.push_back(ChangeRecord{kind, request.run_id, request.effect_key});
    };
    std::string reply;
    std::string_view verdict = "ok";
    switch (request.op) {
        case Operation::ping:
            // Reflects no state at all.
            tell(&request, "pong", 0, provenance);
            return Answer{verdict_reply("pong"), 0};
        case Operation::submit: {
            const std::uint64_t pending = ledger_.pending_count();
            const VerdictKind kind =
                gate_submit(ledger_, request.run_id, request.effect_key, request.flag);
            if (kind == VerdictKind::release) changed(Kind::effect_released);
            // Held again without a change when it was pending already.
            if (kind == VerdictKind::held_for_approval && ledger_.pending_count() > pending) {
                changed(Kind::effect_pending);
            }
            verdict = verdict_kind_text(kind);
            reply = verdict_reply(verdict);
            break;
        }
        case Operation::decide: {
            const std::uint64_t rejected = ledger_.rejected_count();
            const VerdictKind kind =
                gate_decide(ledger_, request.run_id, request.effect_key, request.flag);
            if (kind == VerdictKind::release) changed(Kind::effect_released);
            // A rejection of what was rejected already changes nothing.
            if (kind == VerdictKind::refused_rejected && ledger_.rejected_count() > rejected) {
                changed(Kind::effect_rejected);
            }
            verdict = verdict_kind_text(kind);
            reply = verdict_reply(verdict);
            break;
        }
        case Operation::cancel:
            if (!gate_is_cancelled(ledger_, request.run_id)) changed(Kind::run_cancelled);
            gate_cancel(ledger_, request.run_id);
            reply = verdict_reply("ok");
            break;
        case Operation::close_run:
            if (!gate_is_closed(ledger_, request.run_id)) changed(Kind::run_closed);
            gate_close_run(ledger_, request.run_id);
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
    const std::uint64_t batch = changes_.empty() ? 0 : store_.record(changes_);
    tell(&request, verdict, batch, provenance);
    return Answer{std::move(reply), batch != 0 ? batch : store_.last_recorded()};
}

}  // namespace latchwork::server
