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
#include <map>
#include <set>
#include <utility>
#include <vector>
#include <optional>
#include <span>
#include <string>

#include "server/core/apply_request.h"
#include "server/core/audit_entry.h"
#include "server/core/grant.h"
#include "server/store/batch_request.h"
#include "server/store/postgres/pg_connection.h"
#include "server/core/request.h"
#include "server/core/state_change.h"

namespace latchwork::server {

// One attempt at a batch: the transaction from BEGIN to COMMIT, in as few round trips
// as the requests allow: one to begin, lock and read; one to write and commit; one more
// for each count asked in between. The batch loop decides the requests on ledger()
// between begin_and_load() and write_and_commit(). On failure nothing is answered
// from it: the transaction is over (rolled back by the caller), or, for a lost
// connection, it is not known whether the commit happened.
class PgBatchTransaction final : public CountTotals, public WaitingDetails, public GrantBook {
public:
    // `server`: who the notification at commit says sent it (pg_change_notice.h).
    PgBatchTransaction(PgConnection& connection, std::string_view server)
        : connection_(connection), server_(server) {}

    std::optional<StatementFailure> begin_and_load(std::span<const BatchRequest> batch);
    RunLedger& ledger() noexcept { return ledger_; }
    // A request was decided on ledger(): its changes are written with the rest.
    void decided(const BatchRequest& item);
    std::optional<StatementFailure> write_and_commit(std::span<const AuditEntry> audit);
    // Why count() could not count, once it could not.
    const std::optional<StatementFailure>& count_failure() const noexcept { return count_failure_; }

    std::optional<std::uint64_t> count(Operation op) override;
    std::string_view detail_of(std::string_view run_id, std::string_view effect_key) override;
    std::string_view rule_of(std::string_view run_id, std::string_view effect_key) override;
    std::span<const std::string> approvals_of(std::string_view run_id, std::string_view effect_key) override;
    const KeptRelease* release_of(std::string_view run_id, std::string_view effect_key) override;
    std::span<const std::string> editable_of(std::string_view run_id, std::string_view effect_key) override;
    std::string_view edited_of(std::string_view run_id, std::string_view effect_key) override;
    // Read inside the transaction, after this batch's writes so far: a revoke another
    // server committed is obeyed by the next batch here.
    std::optional<std::vector<Grant>> live_grants(std::string_view rule, std::int64_t now_ms) override;

private:
    std::optional<StatementFailure> read_loaded(const Rows& rows);
    std::vector<Statement> writes();
    Statement audit_statement(std::span<const AuditEntry> audit) const;
    std::optional<Statement> notify_statement(std::span<const AuditEntry> audit) const;

    PgConnection& connection_;
    std::string_view server_;
    std::optional<StatementFailure> count_failure_;
    RunLedger ledger_;
    std::vector<StateChange> changes_;  // of the whole batch, in order
    std::size_t written_ = 0;           // how many of them writes() has taken
    std::int64_t now_ms_ = 0;           // the batch's clock, as its requests were decided
    // The details of the batch's waiting effects, by (run id, effect key).
    std::map<std::pair<std::string, std::string>, std::string> details_;
    // The rules that held them (absent or empty: their submitters asked).
    std::map<std::pair<std::string, std::string>, std::string> rules_;
    // Who approved them so far, short of their rules' quorum (absent: nobody).
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> approvals_;
    // What of their details an approver may change (absent: nothing).
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> editable_;
    // Their details as an approver changed them (absent or empty: as submitted).
    std::map<std::pair<std::string, std::string>, std::string> edited_;
    // The deadlines of the holds the batch made (absent or 0: none).
    std::map<std::pair<std::string, std::string>, std::int64_t> deadlines_;
    // What the batch's released and approved effects keep, loaded or decided; and the
    // effects whose record the batch changed and writes() has not written yet.
    std::map<std::pair<std::string, std::string>, KeptRelease> releases_;
    std::set<std::pair<std::string, std::string>> kept_unwritten_;
    // The grants the batch made and revoked, not yet written.
    std::vector<Grant> granted_;
    std::vector<std::string> revoked_;
};

// The grants live at `now_ms`, of `rule` (every rule when empty), oldest first.
Statement live_grants_statement(std::int64_t now_ms, std::string_view rule);
std::vector<Grant> grants_from_rows(const Rows& rows);

// Prepares the statements of a batch on `connection`, once per connection.
std::optional<StatementFailure> prepare_batch_statements(PgConnection& connection);

// A run's hash (equal ids, equal keys).
std::int32_t run_lock_key(std::string_view run_id) noexcept;

// The rows of latchwork_run_locks, made by the schema: a run is serialised by the one
// its key falls on.
inline constexpr std::uint32_t kRunLockSlots = 65536;
std::int32_t run_lock_slot(std::string_view run_id) noexcept;

}  // namespace latchwork::server
