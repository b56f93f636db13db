// store.h: where the server's state changes go to become durable, and when replies may leave.
//
// The seam between deciding and answering:
//
//   * The in-memory RunLedger is the authority for verdicts. Only the network thread
//     touches it; it decides each request through the gate operations of src/gate.
//   * Every change a decided request made to the ledger is handed to the store as a
//     list of StateChanges (record()). The store puts them into its current batch and
//     returns that batch's sequence number. Batches are numbered 1, 2, 3, ... in the
//     order requests were decided, on any connection.
//   * A reply is queued on its connection with the sequence number it must wait for:
//     the batch of its own changes, or, when it changed nothing, the newest batch
//     recorded so far (last_recorded()), since the state it reports may rest on
//     changes not yet durable. An error reply and a pong reflect no state and wait
//     for 0 (they still leave behind the replies queued before them).
//   * A reply is written only once durable() has reached its number; replies of one
//     connection leave in request order, so a later one never overtakes an earlier.
//   * A store that commits on a thread of its own lets the network thread go on
//     deciding (the next batch fills meanwhile) and, when a batch is durable, posts to
//     the network thread a call of the listener given to set_durable_listener().
//     record(), last_recorded(), durable() and the listener all run on the network
//     thread.
//   * Once a commit fails, failure() says why: the replies still waiting and every
//     later request get that message as an error reply, and the server stops.
//   * load() fills an empty ledger from what the store holds, once, before the server
//     listens; loaded_holds() then tells when each pending effect was held.
//   * The audit entries a request leaves (audit_entry.h) travel with its changes into
//     the same batch, so a reply waits for its entry like for its changes. read_audit()
//     reads what has been committed; on a store that commits on a thread of its own it
//     may wait for the commit in flight.
//
// The memory store makes a batch durable the moment it is recorded, so every reply is
// free to go at once; it takes the same path all the same.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "gate/run_ledger.h"
#include "server/audit_entry.h"
#include "server/latency_histogram.h"
#include "server/state_change.h"
#include "support/result.h"

namespace latchwork::server {

struct AuditQuery {
    std::optional<std::string> run;  // only the entries of this run
    std::uint64_t after = 0;         // only entries whose seq is greater
    std::uint64_t before = 0;        // only entries whose seq is smaller; 0: no bound
    bool newest_first = false;       // the newest matching entries, newest first
    std::size_t limit = std::numeric_limits<std::size_t>::max();
};

// When a pending effect was held and until when it may wait, as the store kept it.
struct StoredHold {
    std::string run_id;
    std::string effect_key;
    std::int64_t held_at_ms = 0;
    std::int64_t deadline_ms = 0;  // 0: none was set
};

class Store {
public:
    virtual ~Store() = default;

    // Fills `ledger`, which is empty, with the state the store holds.
    virtual Result<std::monostate> load(RunLedger& ledger) = 0;

    // The holds of the effects pending after load(), in the order they were held.
    // Called once, after load() and before serving.
    virtual Result<std::vector<StoredHold>> loaded_holds() { return std::vector<StoredHold>{}; }

    // Takes the changes and audit entries of one decided request (at least one of
    // either) into the current batch; returns that batch's sequence number.
    virtual std::uint64_t record(std::span<const StateChange> changes,
                                 std::span<const AuditEntry> audit) = 0;

    // The committed audit entries that match, oldest first (or newest first when
    // asked), each with its seq.
    virtual Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) = 0;

    // How long commits took; null for a store that commits nothing.
    virtual const LatencyHistogram* commit_latency() const noexcept { return nullptr; }

    // The number of the newest batch that holds a recorded change (0 before any).
    virtual std::uint64_t last_recorded() const noexcept = 0;

    // Every batch up to and including this number is durable.
    virtual std::uint64_t durable() const noexcept = 0;

    // Called on the network thread whenever durable() has advanced, and once when
    // the store has failed.
    virtual void set_durable_listener(std::function<void()> listener) = 0;

    // Set, for good, once a commit has failed: nothing is known any more about what
    // reached the disk, so no reply beyond durable() may carry a verdict. Read on the
    // network thread.
    virtual const Failure* failure() const noexcept { return nullptr; }
};

}  // namespace latchwork::server
