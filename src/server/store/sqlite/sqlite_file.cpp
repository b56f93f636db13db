// sqlite_file.cpp: the store file opened for one store, its commits, the journal's folds and the audit log's pruning.
#include "server/store/sqlite/sqlite_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "server/core/decider_name.h"
#include "server/core/detail_edit.h"
#include "server/core/effect_state_text.h"
#include "server/store/sqlite/sqlite_journal_codec.h"
#include "server/store/sqlite/sqlite_lock_file.h"
#include "server/store/sqlite/sqlite_log_reader.h"
#include "server/store/sqlite/sqlite_schema.h"
#include "server/store/sqlite/sqlite_statements.h"

namespace latchwork::server {
namespace {

// The rule a "held" entry's reason names ("rule:NAME"), which held its effect for people.
std::string held_by_rule(std::string_view reason) {
    constexpr std::string_view kRule = "rule:";
    return reason.starts_with(kRule) ? std::string(reason.substr(kRule.size())) : std::string();
}

const char* state_text(EffectState state) { return effect_state_text(state); }

std::optional<EffectState> state_from_text(std::string_view text) {
    return effect_state_from_text(text);
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

// What a stretch of the journal amounts to, ready to be written in key order. Within
// the stretch nothing follows a run's cancel or close but other runs' rows, since a
// stopped run gains no effect; so dropping the run's rows from the table first and
// writing the surviving effects after gives the same state as replaying each change.
struct FoldedChanges {
    struct Effect {
        EffectState state;
        std::int64_t changed_at;
        // A waiting effect's detail (empty: none); for an approval whose hold is not
        // in this stretch, nullopt: the effects table has it. Others have none.
        std::optional<std::string> detail;
    };
    using EffectId = std::pair<std::string, std::string>;
    std::map<EffectId, Effect> effects;
    std::set<std::string> cancelled, closed;
    std::int64_t last_seq = 0;
    std::uint64_t changes = 0;

    // pending_only: a cancel, which drops the waiting effects (pending or approved).
    void drop_run_effects(const std::string& run_id, bool pending_only) {
        auto it = effects.lower_bound(EffectId(run_id, std::string()));
        while (it != effects.end() && it->first.first == run_id) {
            it = pending_only && !is_waiting(it->second.state) ? std::next(it) : effects.erase(it);
        }
    }

    // False for a batch that no program of this version writes.
    bool add_batch(std::string_view encoded, std::int64_t changed_at) {
        JournalBatchReader reader(encoded);
        while (!reader.done()) {
            const std::optional<JournalChange> change = reader.next();
            if (!change) return false;
            if (change->kind == StateChange::Kind::effect_state) {
                Effect& effect = effects[EffectId(change->run_id, change->effect_key)];
                // A hold keeps its detail, an approval the detail of the hold; any other
                // state has none.
                std::optional<std::string> detail;
                if (change->state == EffectState::pending) detail.emplace(change->detail);
                if (change->state == EffectState::approved) detail = std::move(effect.detail);
                effect = {change->state, changed_at, std::move(detail)};
            } else {
                const bool cancel = change->kind == StateChange::Kind::run_cancelled;
                std::string run(change->run_id);
                drop_run_effects(run, cancel);
                (cancel ? cancelled : closed).insert(std::move(run));
            }
            ++changes;
        }
        return true;
    }
};

std::int64_t now_milliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

Result<SqliteFile> SqliteFile::open(const std::string& path, SqliteFileOptions options) {
    if (path.empty()) return Failure{"store path is empty"};
    SqliteFile store;
    store.path_ = path;
    store.options_ = options;
    // A path is always a file name: never ":memory:", a temporary database or a URI.
    const std::string file_name = path.front() == '/' ? path : "./" + path;
    const bool is_new = !file_exists(file_name);
    if (is_new && !options.create) return Failure{"store " + path + " does not exist"};

    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(file_name.c_str(), &raw,
                                       SQLITE_OPEN_READWRITE |
                                           (options.create ? SQLITE_OPEN_CREATE : 0) |
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

    // SQLite has opened (or created) the file but read nothing yet: take it for this
    // store before a byte is read or written.
    auto lock = StoreLockFile::take(path, file_name);
    if (!lock) return std::move(lock).take_failure();
    store.lock_ = std::move(lock).value();
    sqlite3_busy_timeout(store.db_.get(), kBusyMilliseconds);

    // SQLite's normal locking, with the log's index in the shared PATH-shm, so that
    // readers see every committed batch while the server writes. A reader never blocks
    // a commit; it only keeps the checkpoints from passing its snapshot while it reads.
    auto log_mode = steps.query_text("PRAGMA journal_mode = WAL");
    if (!log_mode) return std::move(log_mode).take_failure();
    if (log_mode.value() != "wal") return steps.refuse("cannot use a write-ahead log");
    const std::string settings = "PRAGMA synchronous = FULL; PRAGMA secure_delete = OFF;"
                                 " PRAGMA journal_size_limit = " +
                                 std::to_string(options.log_size_limit);
    if (auto failed = steps.exec(settings.c_str())) return *failed;
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
    auto waiting = steps.query_text("SELECT coalesce(sum(change_count), 0) FROM journal");
    if (!waiting) return std::move(waiting).take_failure();
    const std::string& count = waiting.value();
    std::from_chars(count.data(), count.data() + count.size(), store.journal_changes_);
    if (auto failed = store.check_files()) return *failed;
    if (auto failed = store.fold()) return *failed;
    return store;
}

std::optional<Failure> SqliteFile::prepare_statements() {
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
        prepare(append_,
                "INSERT INTO journal (change_count, changed_at, changes) VALUES (?1, ?2, ?3)") &&
        prepare(oldest_, "SELECT seq, changed_at, changes FROM journal ORDER BY seq") &&
        prepare(forget_, "DELETE FROM journal WHERE seq <= ?1") &&
        prepare(put_effect_,
                "INSERT INTO effects (run_id, effect_key, state, changed_at, detail)"
                " VALUES (?1, ?2, ?3, ?4, ?5)"
                " ON CONFLICT (run_id, effect_key) DO UPDATE"
                " SET state = excluded.state, changed_at = excluded.changed_at,"
                " detail = CASE WHEN ?6 THEN detail ELSE excluded.detail END") &&
        prepare(flag_cancelled_,
                "INSERT INTO runs (run_id, cancelled) VALUES (?1, 1)"
                " ON CONFLICT (run_id) DO UPDATE SET cancelled = 1") &&
        prepare(drop_pending_,
                "DELETE FROM effects WHERE run_id = ?1 AND state IN ('pending', 'approved')") &&
        prepare(flag_closed_,
                "INSERT INTO runs (run_id, closed) VALUES (?1, 1)"
                " ON CONFLICT (run_id) DO UPDATE SET closed = 1") &&
        prepare(drop_effects_, "DELETE FROM effects WHERE run_id = ?1") &&
        prepare(put_grant_,
                "INSERT INTO grants (id, rule, effect, run, detail, granted_by, granted_at, expires_at)"
                " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)") &&
        prepare(drop_grant_, "DELETE FROM grants WHERE id = ?1 OR expires_at <= ?2") &&
        prepare(put_release_,
                "INSERT INTO releases (run_id, effect_key, attempt, released_at, decided_by, result, completed_at,"
                " detail) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"
                " ON CONFLICT (run_id, effect_key) DO UPDATE SET attempt = excluded.attempt,"
                " released_at = excluded.released_at, decided_by = excluded.decided_by,"
                " result = excluded.result, completed_at = excluded.completed_at, detail = excluded.detail") &&
        prepare(drop_releases_, "DELETE FROM releases WHERE run_id = ?1 AND (?2 OR released_at IS NULL)") &&
        prepare(put_audit_,
                "INSERT INTO audit (at, event, run_id, effect_key, approved, verdict, source,"
                " mac_verified, reason, deadline, detail, editable, edited)"
                " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)") &&
        // A held effect's change is in the effects table by the time its entry is
        // this old: the journal holds only the latest changes, folded when idle.
        prepare(prune_audit_,
                "DELETE FROM audit WHERE seq IN ("
                " SELECT a.seq FROM (SELECT seq, at, event, run_id, effect_key, edited FROM audit"
                "  ORDER BY seq LIMIT ?2) AS a"
                " WHERE a.at < ?1 AND a.seq < (SELECT max(seq) FROM audit)"
                " AND NOT (a.event = 'held' AND EXISTS (SELECT 1 FROM effects AS e"
                "  WHERE e.run_id = a.run_id AND e.effect_key = a.effect_key"
                "  AND e.state IN ('pending', 'approved')))"
                " AND NOT (a.event = 'approval_recorded' AND EXISTS (SELECT 1 FROM effects AS e"
                "  WHERE e.run_id = a.run_id AND e.effect_key = a.effect_key"
                "  AND e.state = 'pending'))"
                " AND NOT (a.event = 'decided' AND a.edited = 1 AND EXISTS (SELECT 1 FROM effects AS e"
                "  WHERE e.run_id = a.run_id AND e.effect_key = a.effect_key"
                "  AND e.state = 'approved')))");
    if (!prepared) return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    return std::nullopt;
}

std::optional<Failure> SqliteFile::load(RunLedger& ledger) {
    if (auto failed = fold()) return failed;
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
        // A closed run holds no effect: its id goes now, not after every run is in.
        if (run.closed) ledger.forget_stopped_id(column_bytes(runs.get(), 0));
    }
    if (status != SQLITE_DONE) return sqlite_failure();

    const Statement effects = query("SELECT run_id, effect_key, state FROM effects");
    if (effects == nullptr) return sqlite_failure();
    while ((status = sqlite3_step(effects.get())) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(effects.get(), 2));
        const std::optional<EffectState> state = state_from_text(text == nullptr ? "" : text);
        RunRecord& run = ledger.run(column_bytes(effects.get(), 0));
        const std::string_view key = column_bytes(effects.get(), 1);
        if (!state || run.closed || (run.cancelled && is_waiting(*state)) ||
            run.effects.find(key) != nullptr) {
            return fail("the effects table contradicts the runs table or itself");
        }
        ledger.add_effect(run, key, *state);
    }
    if (status != SQLITE_DONE) return sqlite_failure();
    // A cancelled run whose effects all went is remembered as a closed one is.
    sqlite3_reset(runs.get());
    while ((status = sqlite3_step(runs.get())) == SQLITE_ROW) {
        ledger.forget_stopped_id(column_bytes(runs.get(), 0));
    }
    if (status != SQLITE_DONE) return sqlite_failure();
    return std::nullopt;
}

std::optional<Failure> SqliteFile::commit(std::span<const StateChange> changes,
                                           std::span<const AuditEntry> audit,
                                           std::span<const Grant> granted,
                                           std::span<const std::string> revoked,
                                           std::span<const KeptRelease> kept) {
    if (failure_) return failure_;
    if (changes.empty() && audit.empty() && granted.empty() && revoked.empty() && kept.empty()) return std::nullopt;
    if (auto failed = check_files()) return failed;
    if (step_once(begin_.get()) != SQLITE_DONE) return sqlite_failure();
    if (!changes.empty()) {
        if (auto failed = append(changes)) return failed;
    }
    sqlite3_stmt* const put = put_audit_.get();
    for (const AuditEntry& entry : audit) {
        const bool done =
            sqlite3_bind_int64(put, 1, entry.at_ms) == SQLITE_OK &&
            sqlite3_bind_text(put, 2, server::audit_event_name(entry.event).data(), -1,
                              SQLITE_STATIC) == SQLITE_OK &&
            bind_bytes(put, 3, entry.run_id) == SQLITE_OK &&
            bind_bytes(put, 4, entry.effect_key) == SQLITE_OK &&
            sqlite3_bind_int(put, 5, entry.approved ? 1 : 0) == SQLITE_OK &&
            sqlite3_bind_text(put, 6, entry.verdict.data(), static_cast<int>(entry.verdict.size()),
                              SQLITE_STATIC) == SQLITE_OK &&
            bind_bytes(put, 7, entry.source) == SQLITE_OK &&
            sqlite3_bind_int(put, 8, entry.mac_verified ? 1 : 0) == SQLITE_OK &&
            bind_bytes(put, 9, entry.reason) == SQLITE_OK &&
            (entry.deadline_ms != 0 ? sqlite3_bind_int64(put, 10, entry.deadline_ms)
                                    : sqlite3_bind_null(put, 10)) == SQLITE_OK &&
            bind_detail(put, 11, entry.detail) == SQLITE_OK &&
            bind_detail(put, 12, entry.editable) == SQLITE_OK &&
            sqlite3_bind_int(put, 13, entry.edited ? 1 : 0) == SQLITE_OK &&
            step_once(put) == SQLITE_DONE;
        if (!done) return sqlite_failure();
    }
    for (const Grant& grant : granted) {
        // The expired go as a new one is made (no grant has the empty id).
        sqlite3_stmt* const drop = drop_grant_.get();
        if (sqlite3_bind_text(drop, 1, "", 0, SQLITE_STATIC) != SQLITE_OK ||
            sqlite3_bind_int64(drop, 2, grant.granted_at_ms) != SQLITE_OK || step_once(drop) != SQLITE_DONE) {
            return sqlite_failure();
        }
        sqlite3_stmt* const put_grant = put_grant_.get();
        const auto text = [&](int index, const std::string& value) {
            return sqlite3_bind_text(put_grant, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
        };
        const bool done = text(1, grant.id) == SQLITE_OK && text(2, grant.rule) == SQLITE_OK &&
                          text(3, grant.effect) == SQLITE_OK && bind_bytes(put_grant, 4, grant.run) == SQLITE_OK &&
                          text(5, grant.detail) == SQLITE_OK && text(6, grant.granted_by) == SQLITE_OK &&
                          sqlite3_bind_int64(put_grant, 7, grant.granted_at_ms) == SQLITE_OK &&
                          sqlite3_bind_int64(put_grant, 8, grant.expires_at_ms) == SQLITE_OK &&
                          step_once(put_grant) == SQLITE_DONE;
        if (!done) return sqlite_failure();
    }
    for (const std::string& id : revoked) {
        // Grants long expired go with it.
        sqlite3_stmt* const drop = drop_grant_.get();
        const bool done = sqlite3_bind_text(drop, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC) == SQLITE_OK &&
                          sqlite3_bind_int64(drop, 2, audit.empty() ? 0 : audit.front().at_ms) == SQLITE_OK &&
                          step_once(drop) == SQLITE_DONE;
        if (!done) return sqlite_failure();
    }
    if (auto failed = write_releases(changes, kept)) return failed;
    if (journal_changes_ >= options_.fold_threshold) {
        if (auto failed = fold_oldest(options_.fold_chunk)) return failed;
    }
    if (step_once(commit_.get()) != SQLITE_DONE) return sqlite_failure();
    // The log and its index exist now: remember them.
    if (!log_file_.known || !index_file_.known) return check_files();
    return std::nullopt;
}

// Within commit's transaction. Records are written before the drops: nothing is kept
// for a run after it is closed or, of approvals, cancelled.
std::optional<Failure> SqliteFile::write_releases(std::span<const StateChange> changes,
                                                  std::span<const KeptRelease> kept) {
    sqlite3_stmt* const put = put_release_.get();
    const auto bind_time = [put](int index, std::int64_t ms) {
        return ms != 0 ? sqlite3_bind_int64(put, index, ms) : sqlite3_bind_null(put, index);
    };
    for (const KeptRelease& release : kept) {
        const bool done = bind_bytes(put, 1, release.run_id) == SQLITE_OK &&
                          bind_bytes(put, 2, release.effect_key) == SQLITE_OK &&
                          bind_bytes(put, 3, release.attempt) == SQLITE_OK &&
                          bind_time(4, release.released_at_ms) == SQLITE_OK &&
                          bind_bytes(put, 5, release.decided_by) == SQLITE_OK &&
                          bind_detail(put, 6, release.result) == SQLITE_OK &&
                          bind_time(7, release.completed_at_ms) == SQLITE_OK &&
                          bind_detail(put, 8, release.detail) == SQLITE_OK && step_once(put) == SQLITE_DONE;
        if (!done) return sqlite_failure();
    }
    sqlite3_stmt* const drop = drop_releases_.get();
    for (const StateChange& change : changes) {
        if (change.kind != StateChange::Kind::run_closed && change.kind != StateChange::Kind::run_cancelled) continue;
        const bool done = bind_bytes(drop, 1, change.run_id) == SQLITE_OK &&
                          sqlite3_bind_int(drop, 2, change.kind == StateChange::Kind::run_closed ? 1 : 0) == SQLITE_OK &&
                          step_once(drop) == SQLITE_DONE;
        if (!done) return sqlite_failure();
    }
    return std::nullopt;
}

Result<std::vector<KeptRelease>> SqliteFile::kept_releases() {
    if (failure_) return *failure_;
    constexpr const char* sql =
        "SELECT run_id, effect_key, attempt, coalesce(released_at, 0), decided_by, result,"
        " coalesce(completed_at, 0), detail FROM releases";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
        return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    }
    const Statement statement(raw);
    std::vector<KeptRelease> kept;
    int status;
    while ((status = sqlite3_step(raw)) == SQLITE_ROW) {
        KeptRelease release;
        release.run_id = std::string(column_bytes(raw, 0));
        release.effect_key = std::string(column_bytes(raw, 1));
        release.attempt = std::string(column_bytes(raw, 2));
        release.released_at_ms = sqlite3_column_int64(raw, 3);
        release.decided_by = std::string(column_bytes(raw, 4));
        release.result = std::string(column_bytes(raw, 5));
        release.completed_at_ms = sqlite3_column_int64(raw, 6);
        release.detail = std::string(column_bytes(raw, 7));
        kept.push_back(std::move(release));
    }
    if (status != SQLITE_DONE) return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    return kept;
}

Result<std::vector<AuditEntry>> SqliteFile::read_audit(const AuditQuery& query) {
    if (failure_) return *failure_;
    return read_audit_rows(db_.get(), path_, query);
}

Result<std::vector<Grant>> SqliteFile::live_grants(std::int64_t now_ms) {
    if (failure_) return *failure_;
    constexpr const char* sql =
        "SELECT id, rule, effect, run, detail, granted_by, granted_at, expires_at FROM grants"
        " WHERE expires_at > ?1 ORDER BY granted_at, id";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
        return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    }
    const Statement statement(raw);
    sqlite3_bind_int64(raw, 1, now_ms);
    std::vector<Grant> grants;
    int status;
    while ((status = sqlite3_step(raw)) == SQLITE_ROW) {
        Grant grant;
        grant.id = std::string(column_bytes(raw, 0));
        grant.rule = std::string(column_bytes(raw, 1));
        grant.effect = std::string(column_bytes(raw, 2));
        grant.run = std::string(column_bytes(raw, 3));
        grant.detail = std::string(column_bytes(raw, 4));
        grant.granted_by = std::string(column_bytes(raw, 5));
        grant.granted_at_ms = sqlite3_column_int64(raw, 6);
        grant.expires_at_ms = sqlite3_column_int64(raw, 7);
        grants.push_back(std::move(grant));
    }
    if (status != SQLITE_DONE) return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    return grants;
}

Result<std::vector<StoredHold>> SqliteFile::waiting_holds() {
    if (failure_) return *failure_;
    // An effect is held at most once (pending never comes back), so its one "held"
    // entry, if any, is its hold, approved since or not.
    constexpr const char* sql =
        "SELECT e.run_id, e.effect_key, coalesce(h.at, e.changed_at), coalesce(h.deadline, 0),"
        " e.detail, e.state = 'approved', h.reason, h.editable"
        " FROM effects AS e LEFT JOIN audit AS h"
        " ON h.run_id = e.run_id AND h.effect_key = e.effect_key AND h.event = 'held'"
        " WHERE e.state IN ('pending', 'approved')"
        " ORDER BY h.seq IS NOT NULL, coalesce(h.seq, 0), e.changed_at";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
        return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    }
    const Statement statement(raw);
    std::vector<StoredHold> holds;
    int status;
    while ((status = sqlite3_step(raw)) == SQLITE_ROW) {
        holds.push_back(StoredHold{std::string(column_bytes(raw, 0)),
                                           std::string(column_bytes(raw, 1)),
                                           sqlite3_column_int64(raw, 2),
                                           sqlite3_column_int64(raw, 3),
                                           std::string(column_bytes(raw, 4)),
                                           sqlite3_column_int(raw, 5) != 0,
                                           held_by_rule(column_bytes(raw, 6)), {},
                                           editable_from_text(column_bytes(raw, 7)), {}});
    }
    if (status != SQLITE_DONE) return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    if (auto failed = read_approvals(holds)) return *failed;
    return holds;
}

// A pending effect's approvals short of its rule's quorum are its approval_recorded
// entries since its hold (an effect is held at most once), in order; one that changed the
// detail (edited) starts them again, and its detail is the one approved since. An
// approved effect's detail as changed is its approval's (decided, edited). Pruning keeps
// these entries while the effect waits.
std::optional<Failure> SqliteFile::read_approvals(std::vector<StoredHold>& holds) {
    constexpr const char* sql =
        "SELECT a.run_id, a.effect_key, a.source, a.edited, a.detail FROM audit AS a JOIN effects AS e"
        " ON e.run_id = a.run_id AND e.effect_key = a.effect_key"
        " WHERE (a.event = 'approval_recorded' AND e.state = 'pending')"
        " OR (a.event = 'decided' AND a.edited = 1 AND e.state = 'approved') ORDER BY a.seq";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
        return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    }
    const Statement statement(raw);
    std::map<std::pair<std::string_view, std::string_view>, StoredHold*> pending;
    for (StoredHold& hold : holds) {
        pending.emplace(std::pair{std::string_view(hold.run_id), std::string_view(hold.effect_key)}, &hold);
    }
    int status;
    while ((status = sqlite3_step(raw)) == SQLITE_ROW) {
        const auto found = pending.find({column_bytes(raw, 0), column_bytes(raw, 1)});
        if (found == pending.end()) continue;
        StoredHold& hold = *found->second;
        std::vector<std::string>& approvals = hold.approvals;
        if (sqlite3_column_int(raw, 3) != 0) {
            const std::string_view detail = column_bytes(raw, 4);
            hold.edited = detail == hold.detail ? std::string() : std::string(detail);
            approvals.clear();
        }
        if (hold.approved) continue;
        std::string who(decider_name(column_bytes(raw, 2)));
        if (std::find(approvals.begin(), approvals.end(), who) == approvals.end()) approvals.push_back(std::move(who));
    }
    if (status != SQLITE_DONE) return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_.get())};
    return std::nullopt;
}

Result<std::uint64_t> SqliteFile::prune_audit(std::int64_t older_than_ms, std::uint64_t limit) {
    if (failure_) return *failure_;
    if (auto failed = check_files()) return *failed;
    sqlite3_stmt* const prune = prune_audit_.get();
    const bool pruned =
        sqlite3_bind_int64(prune, 1, older_than_ms) == SQLITE_OK &&
        sqlite3_bind_int64(prune, 2, static_cast<sqlite3_int64>(std::min<std::uint64_t>(limit, INT64_MAX))) ==
            SQLITE_OK &&
        step_once(prune) == SQLITE_DONE;
    if (!pruned) return sqlite_failure();
    return static_cast<std::uint64_t>(sqlite3_changes(db_.get()));
}

std::optional<Failure> SqliteFile::fold(std::uint64_t max_changes) {
    if (failure_) return failure_;
    if (journal_changes_ == 0 || max_changes == 0) return std::nullopt;
    if (auto failed = check_files()) return failed;
    if (step_once(begin_.get()) != SQLITE_DONE) return sqlite_failure();
    if (auto failed = fold_oldest(max_changes)) return failed;
    if (step_once(commit_.get()) != SQLITE_DONE) return sqlite_failure();
    return std::nullopt;
}

// A batch goes into as many rows as keep each blob far below SQLite's length limit,
// however large the batch and its ids.
std::optional<Failure> SqliteFile::append(std::span<const StateChange> changes) {
    constexpr std::size_t kRowBytes = 16 << 20;
    const std::int64_t now = now_milliseconds();
    sqlite3_stmt* const statement = append_.get();
    const auto write_row = [&](std::size_t count) {
        return sqlite3_bind_int64(statement, 1, static_cast<std::int64_t>(count)) == SQLITE_OK &&
               sqlite3_bind_int64(statement, 2, now) == SQLITE_OK &&
               bind_bytes(statement, 3, encoded_) == SQLITE_OK &&
               step_once(statement) == SQLITE_DONE;
    };
    encoded_.clear();
    std::size_t in_row = 0;
    std::uint64_t journalled = 0;
    for (const StateChange& change : changes) {
        // An approval short of a quorum is kept by its audit entry alone: the state
        // tables know nothing of it.
        if (change.kind == StateChange::Kind::approval_recorded) continue;
        ++journalled;
        encode_change(encoded_, change);
        if (++in_row, encoded_.size() >= kRowBytes) {
            if (!write_row(in_row)) return sqlite_failure();
            encoded_.clear();
            in_row = 0;
        }
    }
    if (in_row > 0 && !write_row(in_row)) return sqlite_failure();
    journal_changes_ += journalled;
    return std::nullopt;
}

// Within the caller's transaction: the oldest batches of the journal, until `limit`
// changes or more are taken, reduced to what they amount to, written into the state
// tables in key order, then dropped.
std::optional<Failure> SqliteFile::fold_oldest(std::uint64_t limit) {
    FoldedChanges folded;
    sqlite3_stmt* const oldest = oldest_.get();
    int status = SQLITE_ROW;
    bool known = true;
    while (known && folded.changes < limit && (status = sqlite3_step(oldest)) == SQLITE_ROW) {
        folded.last_seq = sqlite3_column_int64(oldest, 0);
        known = folded.add_batch(column_bytes(oldest, 2), sqlite3_column_int64(oldest, 1));
    }
    if (!known) {
        sqlite3_reset(oldest);
        return fail("the journal holds a batch this program does not know");
    }
    if (status != SQLITE_ROW && status != SQLITE_DONE) {
        auto failed = sqlite_failure();
        sqlite3_reset(oldest);
        return failed;
    }
    sqlite3_reset(oldest);

    const auto for_run = [](sqlite3_stmt* statement, const std::string& run_id) {
        return bind_bytes(statement, 1, run_id) == SQLITE_OK && step_once(statement) == SQLITE_DONE;
    };
    for (const std::string& run_id : folded.cancelled) {
        if (!for_run(flag_cancelled_.get(), run_id) || !for_run(drop_pending_.get(), run_id)) {
            return sqlite_failure();
        }
    }
    for (const std::string& run_id : folded.closed) {
        if (!for_run(flag_closed_.get(), run_id) || !for_run(drop_effects_.get(), run_id)) {
            return sqlite_failure();
        }
    }
    sqlite3_stmt* const put = put_effect_.get();
    for (const auto& [id, effect] : folded.effects) {
        const bool done =
            bind_bytes(put, 1, id.first) == SQLITE_OK && bind_bytes(put, 2, id.second) == SQLITE_OK &&
            sqlite3_bind_text(put, 3, state_text(effect.state), -1, SQLITE_STATIC) == SQLITE_OK &&
            sqlite3_bind_int64(put, 4, effect.changed_at) == SQLITE_OK &&
            bind_detail(put, 5, effect.detail.value_or(std::string())) == SQLITE_OK &&
            sqlite3_bind_int(put, 6, effect.state == EffectState::approved && !effect.detail) ==
                SQLITE_OK &&
            step_once(put) == SQLITE_DONE;
        if (!done) return sqlite_failure();
    }
    if (sqlite3_bind_int64(forget_.get(), 1, folded.last_seq) != SQLITE_OK ||
        step_once(forget_.get()) != SQLITE_DONE) {
        return sqlite_failure();
    }
    journal_changes_ -= std::min(journal_changes_, folded.changes);
    return std::nullopt;
}

// A file removed or replaced while we hold it takes every later commit with it:
// the writes would land in an inode nobody will ever open again.
std::optional<Failure> SqliteFile::check_files() {
    const auto check = [](const std::string& name, FileIdentity& known, bool required) {
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
    // The log's index (PATH-shm) is where readers and writers meet: a new one would
    // show them a log apart from the one this store writes.
    if (!check(file_name, database_file_, true) || !check(file_name + "-wal", log_file_, false) ||
        !check(file_name + "-shm", index_file_, false)) {
        return fail(path_ + " or its log was removed or replaced while in use");
    }
    if (!lock_.in_place()) return fail(lock_.path() + " was removed or replaced while in use");
    return std::nullopt;
}

Failure SqliteFile::sqlite_failure() { return fail(sqlite3_errmsg(db_.get())); }

Failure SqliteFile::fail(std::string detail) {
    failure_ = Failure{"store failed: " + std::move(detail)};
    // What the failed transaction wrote is undone if it still can be; either way
    // nothing more is written through this store.
    if (db_ != nullptr && sqlite3_get_autocommit(db_.get()) == 0) step_once(rollback_.get());
    return *failure_;
}

}  // namespace latchwork::server
