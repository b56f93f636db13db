// sqlite_log_reader.cpp: the audit log read from a store file, by its store or beside the server that holds it.
#include "server/store/sqlite/sqlite_log_reader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "server/store/sqlite/sqlite_file.h"
#include "server/store/sqlite/sqlite_schema.h"
#include "server/store/sqlite/sqlite_statements.h"

namespace latchwork::server {

Result<std::vector<AuditEntry>> read_audit_rows(sqlite3* db, const std::string& path,
                                                const AuditQuery& query, bool with_details, bool with_edits) {
    sqlite3_stmt* raw = nullptr;
    std::string sql =
        "SELECT seq, at, event, run_id, effect_key, approved, verdict, source, mac_verified,"
        " reason, deadline, ";
    sql += with_details ? "detail" : "NULL";
    sql += with_edits ? ", editable, edited" : ", NULL, 0";
    sql += " FROM audit WHERE seq > ?2 AND seq < ?4";
    if (query.run) sql += " AND run_id = ?1";
    if (query.effect) sql += " AND effect_key = ?5";
    if (!query.seqs.empty()) {
        // Numbers written here, not bound: one parameter per seq would meet SQLite's cap.
        sql += " AND seq IN (";
        for (std::size_t i = 0; i < query.seqs.size(); ++i) {
            if (i != 0) sql += ',';
            sql += std::to_string(std::min<std::uint64_t>(query.seqs[i], INT64_MAX));
        }
        sql += ')';
    }
    sql += query.newest_first ? " ORDER BY seq DESC LIMIT ?3" : " ORDER BY seq LIMIT ?3";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        return Failure{"store " + path + ": " + sqlite3_errmsg(db)};
    }
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    if (query.run) bind_bytes(raw, 1, *query.run);
    if (query.effect) bind_bytes(raw, 5, *query.effect);
    sqlite3_bind_int64(raw, 2, static_cast<std::int64_t>(std::min<std::uint64_t>(query.after, INT64_MAX)));
    sqlite3_bind_int64(raw, 3, static_cast<std::int64_t>(std::min<std::size_t>(query.limit, INT64_MAX)));
    sqlite3_bind_int64(raw, 4, query.before == 0 ? INT64_MAX
                                                 : static_cast<std::int64_t>(std::min<std::uint64_t>(
                                                       query.before, INT64_MAX)));
    std::vector<AuditEntry> found;
    int status;
    while ((status = sqlite3_step(raw)) == SQLITE_ROW) {
        AuditEntry entry;
        entry.seq = static_cast<std::uint64_t>(sqlite3_column_int64(raw, 0));
        entry.at_ms = sqlite3_column_int64(raw, 1);
        const auto* event = reinterpret_cast<const char*>(sqlite3_column_text(raw, 2));
        const auto known = server::audit_event_from_name(event == nullptr ? "" : event);
        if (!known) return Failure{"store " + path + ": the audit log holds an unknown event"};
        entry.event = *known;
        entry.run_id = std::string(column_bytes(raw, 3));
        entry.effect_key = std::string(column_bytes(raw, 4));
        entry.approved = sqlite3_column_int(raw, 5) != 0;
        entry.verdict = std::string(column_bytes(raw, 6));
        entry.source = std::string(column_bytes(raw, 7));
        entry.mac_verified = sqlite3_column_int(raw, 8) != 0;
        entry.reason = std::string(column_bytes(raw, 9));
        entry.deadline_ms = sqlite3_column_int64(raw, 10);  // NULL reads as 0
        entry.detail = std::string(column_bytes(raw, 11));   // NULL reads as empty
        entry.editable = std::string(column_bytes(raw, 12));
        entry.edited = sqlite3_column_int(raw, 13) != 0;
        found.push_back(std::move(entry));
    }
    if (status != SQLITE_DONE) return Failure{"store " + path + ": " + sqlite3_errmsg(db)};
    return found;
}

Result<std::vector<AuditEntry>> SqliteFile::read_log(const std::string& path,
                                                     const AuditQuery& query) {
    if (path.empty()) return Failure{"store path is empty"};
    const std::string file_name = path.front() == '/' ? path : "./" + path;
    if (!file_exists(file_name)) return Failure{"store " + path + " does not exist"};
    Result<SqliteReading> db = open_for_reading(path);
    if (!db) return std::move(db).take_failure();
    OpenSteps steps(db.value().get(), path);
    auto tables = steps.query_text("SELECT count(*) FROM sqlite_master");
    if (!tables) return std::move(tables).take_failure();
    if (tables.value() == "0") return std::vector<AuditEntry>{};  // not set up yet
    if (auto failed = check_application(steps)) return *failed;
    auto version = steps.query_text("SELECT max(version) FROM schema_version");
    if (!version) return std::move(version).take_failure();
    // The first layout has no audit log: the first server to open the file adds it empty.
    if (version.value() == "1") return std::vector<AuditEntry>{};
    if (version.value() == "2") return read_audit_rows(db.value().get(), path, query, false, false);
    // Version 3's log has the columns of today's; only its events were fewer.
    if (version.value() == "3") return read_audit_rows(db.value().get(), path, query, true, false);
    if (auto failed = check_version(steps, version.value())) return *failed;
    return read_audit_rows(db.value().get(), path, query);
}

Result<SqliteReading> open_for_reading(const std::string& path) {
    const std::string file_name = path.front() == '/' ? path : "./" + path;
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(
        file_name.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
        nullptr);
    SqliteReading db(raw);  // a handle comes back even when opening failed
    if (db == nullptr) return Failure{"store " + path + ": out of memory"};
    OpenSteps steps(db.get(), path);
    if (opened != SQLITE_OK) return *steps.failure();
    sqlite3_busy_timeout(db.get(), kBusyMilliseconds);
    if (auto failed = steps.exec("PRAGMA query_only = ON")) return *failed;
    return db;
}

Result<SqliteAuditReader> SqliteAuditReader::open(const std::string& path) {
    Result<SqliteReading> db = open_for_reading(path);
    if (!db) return std::move(db).take_failure();
    return SqliteAuditReader(std::move(db).value(), path);
}

}  // namespace latchwork::server
