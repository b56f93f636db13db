// pg_schema.h: the tables of the shared store, created and upgraded by `migrate`.
//
// Every server sharing a database must read and write the same tables the same way,
// so a server only serves a schema of exactly its own version; creating or upgrading
// one is a separate step taken once, by `latchwork-gate migrate`, never on the side
// by whichever server happens to start first.
#pragma once

#include <variant>

#include "server/store/postgres/pg_connection.h"
#include "support/result.h"

namespace latchwork::server {

// The version of the tables this program reads and writes.
inline constexpr int kSchemaVersion = 9;

// Brings the schema up to kSchemaVersion in one transaction, whatever it was (none,
// or older); refuses a newer one. Two migrations at once take turns. Returns the
// version the database is at afterwards.
Result<int> migrate_schema(PgConnection& connection);

// Succeeds when the database holds exactly kSchemaVersion; otherwise says what to do.
Result<std::monostate> check_schema(PgConnection& connection);

}  // namespace latchwork::server
