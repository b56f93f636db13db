// request_handler.cpp: one request line decided against the ledger, with the reply it earns.
//
// The verdicts come from the gate operations alone; the recording forms of them
// (state_change.h) say what each one changed, for the store.
#include "server/request_handler.h"

#include "gate/gate_operations.h"
#include "server/state_change.h"
#include "hmac/decision_tag.h"
#include "server/reply_writer.h"
#include "server/request.h"
#include "server/request_errors.h"
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

}  // namespace

Answer RequestHandler::handle(std::string_view line) {
    // After a failed commit the ledger may be ahead of the disk: no verdict is safe.
    if (const Failure* failed = store_.failure()) return Answer{error_reply(failed->message), 0};

    Result<Request> parsed = parse_request(line);
    if (!parsed) return Answer{error_reply(parsed.error()), 0};
    Request& request = parsed.value();

    changes_.clear();
    std::string reply;
    switch (request.op) {
        case Operation::ping:
            // Reflects no state at all.
            return Answer{verdict_reply("pong"), 0};
        case Operation::submit:
            reply = verdict_reply(verdict_kind_text(recorded_submit(
                ledger_, request.run_id, request.effect_key, request.flag, changes_)));
            break;
        case Operation::decide:
            if (!authenticated(secret_, request)) {
                return Answer{error_reply(not_authenticated_message()), 0};
            }
            reply = verdict_reply(verdict_kind_text(recorded_decide(
                ledger_, request.run_id, request.effect_key, request.flag, changes_)));
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
    const std::uint64_t wait_for =
        changes_.empty() ? store_.last_recorded() : store_.record(changes_);
    return Answer{std::move(reply), wait_for};
}

}  // namespace latchwork::server
