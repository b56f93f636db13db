// sqlite_notify_cursors.cpp: the webhook targets' cursors in the store file, through a connection of their own.
#include "server/store/sqlite/sqlite_notify_cursors.h"

#include <sqlite3.h>

namespace latchwork::server {
namespace {

// The server's commits hold the write lock for milliseconds; a cursor waits for them.
constexpr int kBusyMilliseconds = 5000;

constexpr const char* kCreate = R"sql(
CREATE TABLE IF NOT EXISTS notify_cursor (
  -- One row per webhook target: the hex SHA-256 of its URL (URLs may hold secrets),
  -- and the audit seq the target has been told up to, or given up on.
  target TEXT PRIMARY KEY,
  seq INTEGER NOT NULL
)
)sql";

struct DatabaseCloser {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Prepared = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

class SqliteNotifyCursors final : public NotifyCursors {
public:
    SqliteNotifyCursors(Database db, std::string path) : db_(std::move(db)), path_(std::move(path)) {}

    Result<std::optional<std::uint64_t>> claim(std::string_view target, std::uint64_t start) override {
        // The file is one server's: its cursors are always this server's to deliver.
        auto inserted = step("INSERT INTO notify_cursor (target, seq) VALUES (?1, ?2) "
                             "ON CONFLICT (target) DO NOTHING",
                             target, start);
        if (!inserted) return std::move(inserted).take_failure();
        auto read = step("SELECT seq FROM notify_cursor WHERE target = ?1", target, 0);
        if (!read) return std::move(read).take_failure();
        return std::optional<std::uint64_t>(read.value());
    }

    Result<std::monostate> save(std::string_view target, std::uint64_t seq) override {
        auto saved = step("UPDATE notify_cursor SET seq = max(seq, ?2) WHERE target = ?1", target, seq);
        if (!saved) return std::move(saved).take_failure();
        return std::monostate{};
    }

private:
    // Runs one statement with the target and a seq bound; the first column of its
    // first row, or 0.
    Result<std::uint64_t> step(const char* sql, std::string_view target, std::uint64_t seq) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) return failure();
        const Prepared statement(raw);
        sqlite3_bind_text(raw, 1, target.data(), static_cast<int>(target.size()), SQLITE_TRANSIENT);
        if (sqlite3_bind_parameter_count(raw) >= 2) {
            sqlite3_bind_int64(raw, 2, static_cast<sqlite3_int64>(seq));
        }
        std::uint64_t first = 0;
        for (;;) {
            const int stepped = sqlite3_step(raw);
            if (stepped == SQLITE_DONE) return first;
            if (stepped != SQLITE_ROW) return failure();
            first = static_cast<std::uint64_t>(sqlite3_column_int64(raw, 0));
        }
    }

    Failure failure() const { return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())}; }

    Database db_;
    std::string path_;
};

}  // namespace

Result<std::unique_ptr<NotifyCursors>> open_sqlite_notify_cursors(const std::string& path) {
    sqlite3* raw = nullptr;
    // Never created: the store opened it already, and a vanished file is not remade.
    const int opened = sqlite3_open_v2(
        path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE, nullptr);
    Database db(raw);
    if (db == nullptr) return Failure{"store " + path + ": out of memory"};
    if (opened != SQLITE_OK) return Failure{"store " + path + ": " + sqlite3_errmsg(db.get())};
    sqlite3_busy_timeout(db.get(), kBusyMilliseconds);
    if (sqlite3_exec(db.get(), kCreate, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return Failure{"store " + path + ": " + sqlite3_errmsg(db.get())};
    }
    return std::unique_ptr<NotifyCursors>(std::make_unique<SqliteNotifyCursors>(std::move(db), path));
}

}  // namespace latchwork::server
