// sqlite_store.cpp: the store file's schema, its exclusive opening, loading and batches.
#include "server/sqlite_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <system_error>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace latchwork {
namespace {

// Marks the file as ours in its header (PRAGMA application_id), so that some other
// program's database is refused rather than written into.
constexpr std::int32_t kApplicationId = 0x4c574754;

// The schema, kept with its comments in sqlite_master so `.schema` in the sqlite3
// shell documents the file it is looking at.
constexpr const char* kCreateSchema = R"sql(
CREATE TABLE schema_version (
  -- The layout of this file; a program refuses a file whose version it does not know.
  version INTEGER NOT NULL
);
CREATE TABLE runs (
  -- A run appears here once it is cancelled or closed; both flags are permanent.
  -- Run ids and effect keys are the exact bytes the clients sent (BLOB: any bytes,
  -- the empty string included); read them with CAST(run_id AS TEXT).
  run_id BLOB PRIMARY KEY NOT NULL,
  cancelled INTEGER NOT NULL DEFAULT 0 CHECK (cancelled IN (0, 1)),
  closed INTEGER NOT NULL DEFAULT 0 CHECK (closed IN (0, 1))
) WITHOUT ROWID;
CREATE TABLE effects (
  -- Every effect the gate remembers, in its one state. A cancelled run keeps its
  -- released and rejected effects; a closed run keeps none.
  run_id BLOB NOT NULL,
  effect_key BLOB NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('pending', 'released', 'rejected')),
  -- When the effect entered this state: milliseconds since 1970-01-01 UTC, the time
  -- of the commit; datetime(changed_at / 1000, 'unixepoch') shows it.
  changed_at INTEGER NOT NULL,
  PRIMARY KEY (run_id, effect_key)
) WITHOUT ROWID;
)sql";

const char* state_text(EffectState state) {
    switch (state) {
        case EffectState::pending: return "pending";
        case EffectState::released: return "released";
        case EffectState::rejected: return "rejected";
    }
    return "";
}

std::optional<EffectState> state_from_text(std::string_view text) {
    if (text == "pending") return EffectState::pending;
    if (text == "released") return EffectState::released;
    if (text == "rejected") return EffectState::rejected;
    return std::nullopt;
}

// SQLite binds a null pointer as NULL rather than as an empty blob.
int bind_bytes(sqlite3_stmt* statement, int index, std::string_view bytes) {
    static constexpr char kEmpty[1] = {};
    return sqlite3_bind_blob64(statement, index, bytes.empty() ? kEmpty : bytes.data(),
                               bytes.size(), SQLITE_STATIC);
}

std::string_view column_bytes(sqlite3_stmt* statement, int column) {
    const void* data = sqlite3_column_blob(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    if (data == nullptr) return {};
    return {static_cast<const char*>(data), static_cast<std::size_t>(size)};
}

// Resets the statement however its step ended, so it never holds the transaction open.
int step_once(sqlite3_stmt* statement) {
    const int status = sqlite3_step(statement);
    sqlite3_reset(statement);
    return status;
}

bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// A new file's directory entry must reach the disk too, or a crash could lose the
// whole file with everything committed into it.
bool sync_directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0                ? "/"
                                                              : path.substr(0, slash);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

std::int64_t now_milliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Runs statements that return no rows we need, in the store's opening steps.
class OpenSteps {
public:
    OpenSteps(sqlite3* db, const std::string& path) : db_(db), path_(path) {}

    std::optional<Failure> exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return failure();
        return std::nullopt;
    }

    // The first column of the first row of `sql`, as text ("" when there is no row).
    Result<std::string> query_text(const char* sql) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) return *failure();
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
        const int status = sqlite3_step(raw);
        if (status == SQLITE_DONE) return std::string();
        if (status != SQLITE_ROW) return *failure();
        const unsigned char* text = sqlite3_column_text(raw, 0);
        return std::string(text == nullptr ? "" : reinterpret_cast<const char*>(text));
    }

    Failure refuse(const std::string& why) const { return Failure{"store " + path_ + " " + why}; }

    std::optional<Failure> failure() const {
        const int code = sqlite3_errcode(db_);
        if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED) {
            return refuse("is in use by another process (database is locked)");
        }
        return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_)};
    }

private:
    sqlite3* db_;
    const std::string& path_;
};

std::optional<Failure> create_or_check_schema(OpenSteps& steps) {
    auto tables = steps.query_text("SELECT count(*) FROM sqlite_master");
    if (!tables) return std::move(tables).take_failure();
    if (tables.value() == "0") {
        if (auto failed = steps.exec(kCreateSchema)) return failed;
        const std::string stamp = "INSERT INTO schema_version (version) VALUES (" +
                                  std::to_string(kStoreSchemaVersion) + ");" +
                                  "PRAGMA application_id = " + std::to_string(kApplicationId);
        return steps.exec(stamp.c_str());
    }
    auto application = steps.query_text("PRAGMA application_id");
    if (!application) return std::move(application).take_failure();
    if (application.value() != std::to_string(kApplicationId)) {
        return steps.refuse("is not a latchwork-gate store (it holds another program's tables)");
    }
    auto version = steps.query_text("SELECT max(version) FROM schema_version");
    if (!version) return std::move(version).take_failure();
    if (version.value() != std::to_string(kStoreSchemaVersion)) {
        const std::string shown = version.value().empty() ? "none" : version.value();
        long long number = 0;
        const std::string& digits = version.value();
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (error == std::errc() && end == digits.data() + digits.size() &&
            number > kStoreSchemaVersion) {
            return steps.refuse("has schema version " + shown + ", newer than this program's " +
                                std::to_string(kStoreSchemaVersion) + ": use a newer latchwork-gate");
        }
        return steps.refuse("has schema version " + shown + ", which this program does not know");
    }
    return std::nullopt;
}

}  // namespace

Result<SqliteStore> SqliteStore::open(const std::string& path) {
    if (path.empty()) return Failure{"store path is empty"};
    SqliteStore store;
    store.path_ = path;
    // A path is always a file name: never ":memory:", a temporary database or a URI.
    const std::string file_name = path.front() == '/' ? path : "./" + path;
    const bool is_new = !exists(file_name);

    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(file_name.c_str(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                           SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                                       nullptr);
    store.db_.reset(raw);  // a handle comes back even when opening failed
    if (store.db_ == nullptr) return Failure{"store " + path + ": out of memory"};
    OpenSteps steps(store.db_.get(), path);
    if (opened != SQLITE_OK) return *steps.failure();
    // SQLite quietly falls back to reading when the file may not be written.
    if (sqlite3_db_readonly(store.db_.get(), "main") == 1) {
        return steps.refuse("is read-only");
    }
    sqlite3_extended_result_codes(store.db_.get(), 1);

    // Exclusive locking before the log is first opened keeps the log's index in this
    // process and holds the file lock from the first transaction until close.
    if (auto failed = steps.exec("PRAGMA locking_mode = EXCLUSIVE")) return *failed;
    auto journal = steps.query_text("PRAGMA journal_mode = WAL");
    if (!journal) return std::move(journal).take_failure();
    if (journal.value() != "wal") return steps.refuse("cannot use a write-ahead log");
    if (auto failed = steps.exec("PRAGMA synchronous = FULL; PRAGMA secure_delete = OFF")) {
        return *failed;
    }
    if (auto failed = steps.exec("BEGIN IMMEDIATE")) return *failed;
    if (auto failed = create_or_check_schema(steps)) {
        sqlite3_exec(store.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        return *failed;
    }
    if (auto failed = steps.exec("COMMIT")) return *failed;
    if (is_new && !sync_directory_of(file_name)) {
        return steps.refuse("was created, but its directory could not be synced: " +
                            std::string(std::strerror(errno)));
    }
    if (auto failed = store.prepare_statements()) return *failed;
    if (auto failed = store.check_files()) return *failed;
    return store;
}

std::optional<Failure> SqliteStore::prepare_statements() {
    const auto prepare = [this](Statement& slot, const char* sql) -> bool {
        sqlite3_stmt* raw = nullptr;
        const int status = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT,
                                              &raw, nullptr);
        slot.reset(raw);
        return status == SQLITE_OK;
    };
    const bool prepared =
        prepare(begin_, "BEGIN IMMEDIATE") && prepare(commit_, "COMMIT") &&
        prepare(rollback_, "ROLLBACK") &&
        prepare(put_effect_,
                "INSERT INTO effects (run_id, effect_key, state, changed_at) VALUES (?1, ?2, ?3, ?4)"
                " ON CONFLICT (run_id, effect_key) DO UPDATE"
                " SET state = excluded.state, changed_at = excluded.changed_at") &&
        prepare(flag_cancelled_,
                "INSERT INTO runs (run_id, cancelled) VALUES (?1, 1)"
                " ON CONFLICT (run_id) DO UPDATE SET cancelled = 1") &&
        prepare(drop_pending_, "DELETE FROM effects WHERE run_id = ?1 AND state = 'pending'") &&
        prepare(flag_closed_,
                "INSERT INTO runs (run_id, closed) VALUES (?1, 1)"
                " ON CONFLICT (run_id) DO UPDATE SET closed = 1") &&
        prepare(drop_effects_, "DELETE FROM effects WHERE run_id = ?1");
    if (!prepared) return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    return std::nullopt;
}

std::optional<Failure> SqliteStore::load(RunLedger& ledger) {
    if (failure_) return failure_;
    const auto query = [this](const char* sql) {
        sqlite3_stmt* raw = nullptr;
        sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr);
        return Statement(raw);
    };
    // Flags first, so that an effect row the flags rule out is caught as damage.
    const Statement runs = query("SELECT run_id, cancelled, closed FROM runs");
    if (runs == nullptr) return sqlite_failure();
    int status;
    while ((status = sqlite3_step(runs.get())) == SQLITE_ROW) {
        RunRecord& run = ledger.run(column_bytes(runs.get(), 0));
        run.cancelled = sqlite3_column_int(runs.get(), 1) != 0;
        run.closed = sqlite3_column_int(runs.get(), 2) != 0;
    }
    if (status != SQLITE_DONE) return sqlite_failure();

    const Statement effects = query("SELECT run_id, effect_key, state FROM effects");
    if (effects == nullptr) return sqlite_failure();
    while ((status = sqlite3_step(effects.get())) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(effects.get(), 2));
        const std::optional<EffectState> state = state_from_text(text == nullptr ? "" : text);
        RunRecord& run = ledger.run(column_bytes(effects.get(), 0));
        const std::string_view key = column_bytes(effects.get(), 1);
        if (!state || run.closed || (run.cancelled && *state == EffectState::pending) ||
            run.effects.find(key) != nullptr) {
            return fail("the effects table contradicts the runs table or itself");
        }
        ledger.add_effect(run, key, *state);
    }
    if (status != SQLITE_DONE) return sqlite_failure();
    return std::nullopt;
}

std::optional<Failure> SqliteStore::commit(std::span<const StateChange> changes) {
    if (failure_) return failure_;
    if (changes.empty()) return std::nullopt;
    if (auto failed = check_files()) return failed;
    if (step_once(begin_.get()) != SQLITE_DONE) return sqlite_failure();
    if (auto failed = write(changes)) return failed;
    if (step_once(commit_.get()) != SQLITE_DONE) return sqlite_failure();
    if (!log_file_.known) return check_files();  // the log exists now: remember it
    return std::nullopt;
}

std::optional<Failure> SqliteStore::write(std::span<const StateChange> changes) {
    const std::int64_t now = now_milliseconds();
    for (const StateChange& change : changes) {
        const auto run_step = [&](sqlite3_stmt* statement) {
            return bind_bytes(statement, 1, change.run_id) == SQLITE_OK &&
                   step_once(statement) == SQLITE_DONE;
        };
        bool done = false;
        switch (change.kind) {
            case StateChange::Kind::effect_state:
                done = bind_bytes(put_effect_.get(), 2, change.effect_key) == SQLITE_OK &&
                       sqlite3_bind_text(put_effect_.get(), 3, state_text(change.state), -1,
                                         SQLITE_STATIC) == SQLITE_OK &&
                       sqlite3_bind_int64(put_effect_.get(), 4, now) == SQLITE_OK &&
                       run_step(put_effect_.get());
                break;
            case StateChange::Kind::run_cancelled:
                done = run_step(flag_cancelled_.get()) && run_step(drop_pending_.get());
                break;
            case StateChange::Kind::run_closed:
                done = run_step(flag_closed_.get()) && run_step(drop_effects_.get());
                break;
        }
        if (!done) return sqlite_failure();
    }
    return std::nullopt;
}

// A file removed or replaced while we hold it takes every later commit with it:
// the writes would land in an inode nobody will ever open again.
std::optional<Failure> SqliteStore::check_files() {
    const auto check = [this](const std::string& name, FileIdentity& known, bool required) {
        struct stat info;
        if (::stat(name.c_str(), &info) != 0) {
            if (!known.known && !required && errno == ENOENT) return true;
            return false;
        }
        if (!known.known) {
            known = {info.st_dev, info.st_ino, true};
            return true;
        }
        return info.st_dev == known.device && info.st_ino == known.inode;
    };
    const std::string file_name = path_.front() == '/' ? path_ : "./" + path_;
    if (!check(file_name, database_file_, true) || !check(file_name + "-wal", log_file_, false)) {
        return fail(path_ + " or its log was removed or replaced while in use");
    }
    return std::nullopt;
}

Failure SqliteStore::sqlite_failure() { return fail(sqlite3_errmsg(db_.get())); }

Failure SqliteStore::fail(std::string detail) {
    failure_ = Failure{"store failed: " + std::move(detail)};
    // What the failed transaction wrote is undone if it still can be; either way
    // nothing more is written through this store.
    if (db_ != nullptr && sqlite3_get_autocommit(db_.get()) == 0) step_once(rollback_.get());
    return *failure_;
}

}  // namespace latchwork
