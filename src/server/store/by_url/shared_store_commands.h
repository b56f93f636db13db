// shared_store_commands.h: what the commands other than `serve` do with a shared store.
#pragma once

#include <string_view>
#include <vector>

#include "server/core/audit_entry.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

// `latchwork-gate migrate`: creates or upgrades the schema of the store `url` names;
// returns the version it is at afterwards. Only a shared store is migrated this way:
// a SQLite file upgrades itself when a server opens it.
Result<int> migrate_store(std::string_view url);

// `latchwork-gate log` on a postgresql://... store: its committed audit entries.
Result<std::vector<AuditEntry>> read_shared_store_log(std::string_view url, const AuditQuery& query);

// The refusal of a postgresql://... URL by a program built without libpq.
Failure without_postgresql(std::string_view url);

}  // namespace latchwork::server
