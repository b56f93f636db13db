// sqlite_log_reader.h: the audit log read from a store file, by its store or beside the server that holds it.
//
// SqliteFile::read_log, the reader the `log` command uses beside a running server, is
// defined in sqlite_log_reader.cpp with the rows it shares with the store's own reads.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "server/core/audit_entry.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

// The audit entries that match, read through `db` (a store's or a reader's); `path`
// names the store in a failure. A version 2 file (`with_details` false) has no details
// to read.
Result<std::vector<AuditEntry>> read_audit_rows(sqlite3* db, const std::string& path,
                                                const AuditQuery& query,
                                                bool with_details = true);

}  // namespace latchwork::server
