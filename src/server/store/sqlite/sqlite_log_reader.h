// sqlite_log_reader.h: the audit log read from a store file, by its store or beside the server that holds it.
//
// SqliteFile::read_log, the reader the `log` command uses beside a running server, is
// defined in sqlite_log_reader.cpp with the rows it shares with the store's own reads.
// The store reads through a connection of its own (SqliteAuditReader), so that a read
// never waits for the commit in flight: the write-ahead log lets one writer and any
// number of readers go side by side.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "server/core/audit_entry.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

// The audit entries that match, read through `db` (a store's or a reader's); `path`
// names the store in a failure. A version 2 file (`with_details` false) has no details
// to read; a file older than version 8 (`with_edits` false) no editable and edited.
Result<std::vector<AuditEntry>> read_audit_rows(sqlite3* db, const std::string& path,
                                                const AuditQuery& query,
                                                bool with_details = true, bool with_edits = true);

struct SqliteClose {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using SqliteReading = std::unique_ptr<sqlite3, SqliteClose>;

// `path` opened to read: read-write, as the sqlite3 shell opens it, so that a reader
// closing the file last checkpoints and removes the log as every connection does; but
// never created (no SQLITE_OPEN_CREATE), and no table written (query_only).
Result<SqliteReading> open_for_reading(const std::string& path);

// A read-only connection to a store file of the current version, which the server
// holding the file reads its audit log through. One thread at a time.
class SqliteAuditReader {
public:
    static Result<SqliteAuditReader> open(const std::string& path);
    Result<std::vector<AuditEntry>> read(const AuditQuery& query) {
        return read_audit_rows(db_.get(), path_, query);
    }

private:
    SqliteAuditReader(SqliteReading db, std::string path) : db_(std::move(db)), path_(std::move(path)) {}

    SqliteReading db_;
    std::string path_;
};

}  // namespace latchwork::server
