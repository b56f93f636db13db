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
//
// A store shared by several servers cannot leave verdicts to one server's ledger: it
// decides the requests itself, inside its own transactions (decides_requests()). The
// network thread then hands it each request with take_request() instead of deciding
// it, and queues the reply with the batch number it got; the store writes the reply
// line before that batch's number reaches durable(). Such a store does not fail for
// good: a batch whose outcome is unknown gets error replies, and later batches are
// served again once the store is back.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "gate/run_ledger.h"
#include "server/core/audit_entry.h"
#include "server/core/held_index.h"
#include "server/core/latency_histogram.h"
#include "server/core/request.h"
#include "server/core/state_change.h"
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

// A run as a store that decides requests reads it for the console.
struct RunState {
    bool cancelled = false;
    bool closed = false;
    std::vector<std::pair<std::string, EffectState>> effects;  // by key
};

// The reply line a store that decides requests writes for one of them.
struct DeferredReply {
    std::string line;
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

    // Why the store cannot be reached just now, for a store that comes back by itself
    // (a shared store whose database is away); empty while it can. Read on the
    // network thread.
    virtual std::optional<std::string> outage() const { return std::nullopt; }

    // True for a store that decides requests itself; then the network thread's ledger
    // stays empty and record() is never called.
    virtual bool decides_requests() const noexcept { return false; }

    // Takes one request (never a ping) from `source` into the current batch and
    // returns the batch's number; `reply` is filled before durable() reaches it. Only
    // for a store that decides requests.
    virtual std::uint64_t take_request(const Request& /*request*/, const DecisionSource& /*source*/,
                                       std::shared_ptr<DeferredReply> /*reply*/) {
        return 0;
    }

    // Told, on the network thread, of every request such a store decided, just before
    // the batch's replies are released.
    struct Decision {
        const Request& request;
        std::string_view verdict;             // the reply's verdict text
        std::span<const StateChange> changes;  // what it changed
        DecisionSource source;
        std::uint64_t batch;        // the number durable() reaches next; 0: nobody waits
        std::int64_t at_ms;         // when it was decided
        std::int64_t deadline_ms;   // for a hold it made: until when it may wait; 0: ever
    };
    using DecidedListener = std::function<void(const Decision& decision)>;
    virtual void set_decided_listener(DecidedListener /*listener*/) {}

    // How long an effect such a store holds may wait before it expires (zero: for
    // ever); the deadline is kept with the effect.
    virtual void set_hold_timeout(std::chrono::milliseconds /*timeout*/) {}

    // What the console shows of such a store, read from what every server sharing it
    // has committed (the network thread's ledger and held index know nothing of it).
    // Read on the network thread.
    virtual Result<std::vector<HeldEffect>> read_held(std::size_t /*limit*/, std::uint64_t /*after*/,
                                                      std::string_view /*run_prefix*/) {
        return std::vector<HeldEffect>{};
    }
    virtual Result<std::optional<RunState>> read_run(std::string_view /*run_id*/) {
        return std::optional<RunState>();
    }
    virtual Result<std::uint64_t> read_pending_count() { return std::uint64_t{0}; }
};

}  // namespace latchwork::server
