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

Answer RequestHandler::handle(std::string_view line) {
    Result<Request> parsed = parse_request(line);
    if (!parsed) return Answer{error_reply(parsed.error()), 0};
    Request& request = parsed.value();

    changes_.clear();
    // The parser leaves effect_key empty for the run operations.
    auto changed = [&](Kind kind) {
        changes_.push_back(ChangeRecord{kind, request.run_id, request.effect_key});
    };
    std::string reply;
    switch (request.op) {
        case Operation::ping:
            // Reflects no state at all.
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
            reply = verdict_reply(verdict_kind_text(kind));
            break;
        }
        case Operation::decide: {
            if (!authenticated(secret_, request)) {
                return Answer{error_reply(not_authenticated_message()), 0};
            }
            const std::uint64_t rejected = ledger_.rejected_count();
            const VerdictKind kind =
                gate_decide(ledger_, request.run_id, request.effect_key, request.flag);
            if (kind == VerdictKind::release) changed(Kind::effect_released);
            // A rejection of what was rejected already changes nothing.
            if (kind == VerdictKind::refused_rejected && ledger_.rejected_count() > rejected) {
                changed(Kind::effect_rejected);
            }
            reply = verdict_reply(verdict_kind_text(kind));
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
    const std::uint64_t wait_for =
        changes_.empty() ? store_.last_recorded() : store_.record(changes_);
    return Answer{std::move(reply), wait_for};
}

}  // namespace latchwork::server
