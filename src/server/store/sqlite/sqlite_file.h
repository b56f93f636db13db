// sqlite_file.h: the gate's durable record in one SQLite file, written in batches.
//
// The file holds the ledger's state: one row per flagged run and one per remembered
// effect, so it stays as small as the ledger. Batches are not written into those
// tables but appended to a journal, one row per batch: a batch of fifty effects of
// fifty runs would touch fifty pages of the effects table and write each whole into
// the log, and cost a statement per change, where the journal takes one statement and
// a page or two. The journal is folded into the state tables when the store opens,
// when its owner asks, and, in large sorted chunks that touch each page once,
// whenever it grows past a threshold.
//
// While a store is open no second store opens its file, in this process or another: it
// holds an flock on PATH.lock beside the file, which the kernel drops with the last
// descriptor, so the lock goes with the process however it ends (kill -9 included).
// SQLite's own locking stays normal, so readers share the file with the server: the
// `log` command (read_log), the sqlite3 shell, a `.backup` or `VACUUM INTO`. They see
// every committed batch in the audit table and the journal; the runs and effects tables
// hold the state only up to the last fold (see the journal's comment in the schema).
//
// Not thread-safe and never blocking on other threads: the owner calls it from one
// thread at a time (in the server, the commit thread after open and load).
//
// Beside sqlite_file.cpp (opening, commits, folds, pruning): the tables and their
// upgrades in sqlite_schema, the journal's bytes in sqlite_journal_codec, the lock
// file in sqlite_lock_file, the audit log's reads in sqlite_log_reader.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <vector>

#include "gate/run_ledger.h"
#include "server/core/audit_entry.h"
#include "server/core/grant.h"
#include "server/core/kept_release.h"
#include "server/core/state_change.h"
#include "server/store/sqlite/sqlite_lock_file.h"
#include "server/store/sqlite/sqlite_schema.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

struct SqliteFileOptions {
    // Once the journal holds fold_threshold changes, each commit also folds its
    // oldest batches, fold_chunk changes or a little more. That commit takes longer (tens of milliseconds for the default
    // chunk, about 0.1 s on this project's machine), so the chunk is wide enough that
    // few commits do: one in three hundred at fifty changes per batch. An owner with
    // idle moments can call fold() in them instead and never reach the threshold.
    std::size_t fold_threshold = 262144;
    std::size_t fold_chunk = 16384;
    // False: a missing file is refused rather than created.
    bool create = true;
    // The write-ahead log is cut back to this size when it starts over after a
    // checkpoint. It only outgrows it while a reader holds an old snapshot (a long
    // backup): checkpoints cannot pass that reader, so the log grows by what is
    // committed meanwhile, and keeps that size on disk unless it is cut back.
    std::int64_t log_size_limit = 64 << 20;
};

class SqliteFile {
public:
    // Opens or creates the store at `path` and takes the file for this store alone.
    // Fails, with a message naming the path, when the file cannot be opened for
    // writing, is not a store of ours, carries a newer schema version, or is held by
    // another open store. What the journal holds is folded in before it returns.
    static Result<SqliteFile> open(const std::string& path, SqliteFileOptions options = {});

    // The audit entries that match in the store file at `path`, read as any reader
    // would, whether or not a server holds the file; writes nothing and never creates
    // the file. A file no server has opened yet (empty, or of version 1) has none; a
    // version 2 file's entries have no details. Defined in sqlite_log_reader.cpp.
    static Result<std::vector<AuditEntry>> read_log(const std::string& path,
                                                            const AuditQuery& query);

    SqliteFile(SqliteFile&&) noexcept = default;
    SqliteFile& operator=(SqliteFile&&) noexcept = default;
    ~SqliteFile() = default;

    // Rebuilds the recorded state into `ledger`, which must be new (empty).
    std::optional<Failure> load(RunLedger& ledger);

    // Folds the journal's oldest batches, at least `max_changes` changes (or all
    // there are), into the state tables in one durable transaction. For idle
    // moments, a few thousand changes at a time (a fold costs a few microseconds per
    // change), and for a clean shutdown, so that the file reads as the ledger's
    // state in the sqlite3 shell.
    std::optional<Failure> fold(std::uint64_t max_changes = UINT64_MAX);

    // Deletes, in one durable transaction, up to `limit` of the oldest audit entries
    // written before `older_than_ms` (Unix milliseconds); returns how many went, or
    // the failure. Looks at no more than `limit` of the oldest rows, so a step costs
    // the same however long the log. Kept whatever their age: the newest entry (its
    // seq is where numbering goes on, INTEGER PRIMARY KEY reusing a freed maximum)
    // and the "held" entry of an effect still waiting, pending or approved (its hold's
    // time, deadline and place in the order of holds, which a restart reads back), and
    // the approval_recorded entries of one still pending (its approvals so far).
    Result<std::uint64_t> prune_audit(std::int64_t older_than_ms, std::uint64_t limit);

    // Changes waiting in the journal.
    std::uint64_t journal_changes() const noexcept { return journal_changes_; }

    // Writes `changes` in one transaction; when it returns without a failure they are
    // on disk (the log synced). Any failure, "store failed: " and the detail, leaves
    // the store failed: every later call returns the same failure without writing,
    // since nothing is known any more about what reached the disk.
    // The grants made and the ids of those revoked go in the same transaction, and so
    // does what is kept with released effects (`kept`, oldest first): a closed run's
    // records go, and a cancelled run's approvals never taken.
    std::optional<Failure> commit(std::span<const StateChange> changes,
                                  std::span<const AuditEntry> audit = {},
                                  std::span<const Grant> granted = {},
                                  std::span<const std::string> revoked = {},
                                  std::span<const KeptRelease> kept = {});

    // What is kept with released and approved effects.
    Result<std::vector<KeptRelease>> kept_releases();

    // The grants kept that are live at `now_ms`, oldest first.
    Result<std::vector<Grant>> live_grants(std::int64_t now_ms);

    // The audit entries that match, oldest first.
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query);

    // The holds of the waiting effects (pending or approved), in hold order, with
    // their details: from the audit log's "held" entries; an effect held before the
    // log existed counts as held when its row was last written, with no deadline. A
    // pending one's approvals short of its rule's quorum come from its
    // approval_recorded entries.
    Result<std::vector<StoredHold>> waiting_holds();

    const std::string& path() const noexcept { return path_; }
    bool failed() const noexcept { return failure_.has_value(); }

private:
    struct CloseDatabase {
        void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
    };
    struct FinalizeStatement {
        void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
    };
    using Database = std::unique_ptr<sqlite3, CloseDatabase>;
    using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

    // Identifies a file so that one removed or replaced under us is noticed.
    struct FileIdentity {
        dev_t device = 0;
        ino_t inode = 0;
        bool known = false;
    };

    SqliteFile() = default;
    std::optional<Failure> prepare_statements();
    std::optional<Failure> append(std::span<const StateChange> changes);
    std::optional<Failure> read_approvals(std::vector<StoredHold>& holds);
    std::optional<Failure> write_releases(std::span<const StateChange> changes, std::span<const KeptRelease> kept);
    std::optional<Failure> fold_oldest(std::uint64_t limit);
    std::optional<Failure> check_files();
    Failure fail(std::string detail);
    Failure sqlite_failure();

    // The lock is declared first so that it is let go of last, once the file is
    // closed; the database next, so that it is closed after every statement.
    StoreLockFile lock_;
    Database db_;
    Statement begin_, commit_, rollback_, append_;
    Statement oldest_, forget_;  // read and drop the journal's oldest rows
    Statement put_effect_, flag_cancelled_, drop_pending_, flag_closed_, drop_effects_;
    Statement put_audit_;
    Statement put_grant_, drop_grant_;
    Statement put_release_, drop_releases_;
    Statement prune_audit_;
    std::string path_;
    SqliteFileOptions options_;
    std::uint64_t journal_changes_ = 0;
    std::string encoded_;  // the batch being appended, kept for its capacity
    FileIdentity database_file_, log_file_, index_file_;
    std::optional<Failure> failure_;
};

}  // namespace latchwork::server
