// gate_operations.h: the decision logic of the in-process gate over its run ledger.
//
// Each function is one whole operation; the caller holds the gate's state lock across it.
#pragma once

#include <cstdint>
#include <string_view>

#include "gate/run_ledger.h"
#include "gate/verdict_kind.h"

namespace latchwork {

VerdictKind gate_submit(RunLedger& ledger, std::string_view run_id, std::string_view effect_key,
                        bool needs_approval);
VerdictKind gate_decide(RunLedger& ledger, std::string_view run_id, std::string_view effect_key,
                        bool approved);
// A person's approval of a held effect, handed to its submitter: the effect becomes
// approved and the next submit of it is released. False, changing nothing, when the
// effect is not held.
bool gate_approve_for_submitter(RunLedger& ledger, std::string_view run_id,
                                std::string_view effect_key);
void gate_cancel(RunLedger& ledger, std::string_view run_id);
void gate_close_run(RunLedger& ledger, std::string_view run_id);
bool gate_is_cancelled(const RunLedger& ledger, std::string_view run_id);
bool gate_is_closed(const RunLedger& ledger, std::string_view run_id);

}  // namespace latchwork
