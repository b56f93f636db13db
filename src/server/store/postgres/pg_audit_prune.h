// pg_audit_prune.h: one bounded step of deleting audit entries older than the retention, on a shared store.
#pragma once

#include <chrono>
#include <cstdint>

#include "server/store/postgres/pg_connection.h"
#include "support/result.h"

namespace latchwork::server {

// Deletes, in a transaction of its own, up to `limit` entries among the `limit` oldest
// (by seq) whose time is older than `retention` by the database's clock, so a step
// costs the same however long the log. Several servers may run it at once: one waits
// for the other's row locks and finds those rows gone. How many it deleted.
Result<std::uint64_t> prune_audit_step(PgConnection& connection, std::chrono::milliseconds retention,
                                       std::uint64_t limit);

}  // namespace latchwork::server
