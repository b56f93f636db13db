// recorder.h: where a local store's changes go to become durable.
//
// A local store decides on the ledger it holds in memory; its recorder only learns
// what changed (StateChanges) and the audit entries, batch by batch, so that replaying
// them rebuilds the same ledger. The memory recorder is durable the moment it records;
// the SQLite recorder commits on a thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <variant>
#include <vector>

#include "gate/run_ledger.h"
#include "server/core/audit_entry.h"
#include "server/core/latency_histogram.h"
#include "server/core/state_change.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

class Recorder {
public:
    virtual ~Recorder() = default;

    // Fills `ledger`, which is empty, with what was recorded.
    virtual Result<std::monostate> load(RunLedger& ledger) = 0;
    // The holds of the effects pending after load(), in the order they were held.
    virtual Result<std::vector<StoredHold>> loaded_holds() { return std::vector<StoredHold>{}; }

    // Takes the changes and audit entries of one decided request (at least one of
    // either) into the open batch; returns that batch's number.
    virtual std::uint64_t record(std::span<const StateChange> changes,
                                 std::span<const AuditEntry> audit) = 0;
    virtual Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) = 0;

    virtual std::uint64_t last_recorded() const noexcept = 0;
    virtual std::uint64_t durable() const noexcept = 0;
    virtual void set_durable_listener(std::function<void()> listener) = 0;
    virtual const Failure* failure() const noexcept { return nullptr; }
    virtual const LatencyHistogram* commit_latency() const noexcept { return nullptr; }
};

}  // namespace latchwork::server
