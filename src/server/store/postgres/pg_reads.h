// pg_reads.h: what the console and `latchwork-gate log` read from a shared store.
//
// Reads take no locks: each is one statement on a snapshot of what every server has
// committed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gate/run_ledger.h"
#include "server/core/audit_entry.h"
#include "server/core/held_index.h"
#include "server/store/postgres/pg_connection.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

Result<std::vector<AuditEntry>> select_audit(PgConnection& connection, const AuditQuery& query);

// Up to `limit` committed entries written by the transactions `xacts`, in seq order,
// without their details: what a change notice points to (pg_change_notice.h).
Result<std::vector<AuditEntry>> select_audit_of_transactions(PgConnection& connection,
                                                            std::span<const std::int64_t> xacts,
                                                            std::size_t limit);

// Up to `limit` waiting effects (held, or approved and not yet taken) after the cursor
// `after` (0: from the start) whose run id starts with `run_prefix`, in the order they
// were held; each with its cursor in `position`, its detail and whether it is approved.
Result<std::vector<HeldEffect>> select_held(PgConnection& connection, std::size_t limit,
                                          std::uint64_t after, std::string_view run_prefix);

// The run's flags and effects, or nothing when no row names the run.
Result<std::optional<RunState>> select_run(PgConnection& connection, std::string_view run_id);

// The held effects; approved ones wait for their submitter, not for a person.
Result<std::uint64_t> count_pending(PgConnection& connection);

// Up to `limit` held effects whose deadline is at or before `now_ms`, nearest first.
Result<std::vector<std::pair<std::string, std::string>>> select_due(PgConnection& connection,
                                                                  std::int64_t now_ms,
                                                                  std::size_t limit);

}  // namespace latchwork::server
