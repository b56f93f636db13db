// apply_request.cpp: the one decision step: a request applied to a ledger, with its reply, its changes and its audit entry.
#include "server/core/apply_request.h"

#include <span>

#include "gate/gate_operations.h"
#include "server/core/reply_writer.h"

namespace latchwork::server {

std::optional<Applied> apply_request(RunLedger& ledger, const Request& request,
                                     const DecisionSource& source, const DecisionClock& clock,
                                     std::vector<StateChange>& changes, CountTotals* totals) {
    const std::size_t before = changes.size();
    Applied applied;
    applied.verdict = "ok";
    switch (request.op) {
        case Operation::ping:
            applied.verdict = "pong";
            applied.reply = verdict_reply("pong");
            return applied;  // reflects no state at all
        case Operation::submit:
            applied.verdict = verdict_kind_text(
                recorded_submit(ledger, request.run_id, request.effect_key, request.flag, changes));
            applied.reply = verdict_reply(applied.verdict);
            break;
        case Operation::decide:
            applied.verdict = verdict_kind_text(
                recorded_decide(ledger, request.run_id, request.effect_key, request.flag, changes));
            applied.reply = verdict_reply(applied.verdict);
            break;
        case Operation::cancel:
            recorded_cancel(ledger, request.run_id, changes);
            applied.reply = verdict_reply("ok");
            break;
        case Operation::close_run:
            recorded_close_run(ledger, request.run_id, changes);
            applied.reply = verdict_reply("ok");
            break;
        case Operation::is_cancelled:
            applied.reply = flag_reply(gate_is_cancelled(ledger, request.run_id));
            break;
        case Operation::is_closed:
            applied.reply = flag_reply(gate_is_closed(ledger, request.run_id));
            break;
        case Operation::pending_count:
        case Operation::state_len: {
            std::optional<std::uint64_t> total;
            if (totals != nullptr) {
                total = totals->count(request.op);
            } else {
                total = request.op == Operation::pending_count ? ledger.pending_count()
                                                               : ledger.state_len();
            }
            if (!total) return std::nullopt;
            applied.reply = count_reply(*total);
            break;
        }
    }
    const std::span<const StateChange> made = std::span<const StateChange>(changes).subspan(before);
    if (source.door == DecisionSource::Door::expiry && made.empty()) return applied;
    applied.audit = audit_entry_for(request, applied.verdict, made, source, clock.now_ms,
                                    clock.hold_deadline());
    return applied;
}

}  // namespace latchwork::server
