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
//     listens.
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

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include "gate/run_ledger.h"
#include "server/request.h"
#include "server/state_change.h"
#include "support/result.h"

namespace latchwork::server {

// The reply line a store that decides requests writes for one of them.
struct DeferredReply {
    std::string line;
};

class Store {
public:
    virtual ~Store() = default;

    // Fills `ledger`, which is empty, with the state the store holds.
    virtual Result<std::monostate> load(RunLedger& ledger) = 0;

    // Takes the changes of one decided request (at least one) into the current batch;
    // returns that batch's sequence number.
    virtual std::uint64_t record(std::span<const StateChange> changes) = 0;

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

    // True for a store that decides requests itself; then the network thread's ledger
    // stays empty and record() is never called.
    virtual bool decides_requests() const noexcept { return false; }

    // Takes one request (never a ping) into the current batch and returns the batch's
    // number; `reply` is filled before durable() reaches it. Only for a store that
    // decides requests.
    virtual std::uint64_t take_request(const Request& request,
                                       std::shared_ptr<DeferredReply> reply) {
        (void)request;
        (void)reply;
        return 0;
    }
};

}  // namespace latchwork::server
