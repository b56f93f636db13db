// pg_batch.h: a batch of requests decided in one transaction of the shared store.
//
// Several servers share the database, so none of them may decide from what it holds
// in memory. Each batch instead:
//   1. locks every run it names, by a row lock on the run's slot in latchwork_run_locks,
//      taken in one fixed order (ascending slot), so that two servers never wait for
//      each other in a cycle, and a run's requests are decided by one transaction at a
//      time;
//   2. reads what it needs of those runs (their flags, the effects it names) into a
//      scratch ledger;
//   3. decides every request, in arrival order, with the very gate operations the
//      in-memory ledger uses;
//   4. writes the changed rows back and commits.
// Nobody else can change a locked run between the read and the commit, so each run
// sees the batches that name it one after another: the verdicts are those of one
// in-process gate taking the same calls in some serial order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "server/core/apply_request.h"
#include "server/core/audit_entry.h"
#include "server/store/postgres/pg_connection.h"
#include "server/core/request.h"
#include "server/core/state_change.h"

namespace latchwork::server {

// Where a request came from, for the audit log: DecisionSource with its own strings.
struct BatchSource {
    DecisionSource::Door door = DecisionSource::Door::line;
    std::string who;
    bool mac_verified = false;
    std::string reason;

    DecisionSource view() const { return DecisionSource{door, who, mac_verified, reason}; }
};

struct BatchRequest {
    Request request;  // never a ping
    BatchSource source;
    // Filled by decide_batch, and valid once it has committed:
    Reply reply;                       // the reply line and its verdict
    std::vector<StateChange> changes;  // what the request changed
    std::int64_t at_ms = 0;            // the batch's clock
    std::int64_t deadline_ms = 0;      // a hold's deadline; 0: none
};

// Decides `batch` and commits. A serialization failure or deadlock is retried from the
// start (the replies are filled afresh each time). On failure nothing is answered
// from it: the transaction was rolled back, or (FailureKind::connection) it is not
// known whether the commit happened. Every change is told to the servers that listen,
// at commit, as sent by `server` (pg_change_notice.h).
std::optional<StatementFailure> decide_batch(PgConnection& connection,
                                             std::span<BatchRequest> batch, const DecisionClock& clock,
                                             std::string_view server);

// A run's hash (equal ids, equal keys).
std::int32_t run_lock_key(std::string_view run_id) noexcept;

// The rows of latchwork_run_locks, made by the schema: a run is serialised by the one
// its key falls on.
inline constexpr std::uint32_t kRunLockSlots = 65536;
std::int32_t run_lock_slot(std::string_view run_id) noexcept;

}  // namespace latchwork::server
