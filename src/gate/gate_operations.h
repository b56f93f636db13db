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
void gate_cancel(RunLedger& ledger, std::string_view run_id);
void gate_close_run(RunLedger& ledger, std::string_view run_id);
bool gate_is_cancelled(const RunLedger& ledger, std::string_view run_id);
bool gate_is_closed(const RunLedger& ledger, std::string_view run_id);

}  // namespace latchwork
