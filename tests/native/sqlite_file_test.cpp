// sqlite_file_test.cpp: the store file round trip, its refusals and its failures.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ledger_probe.h"
#include "server/store/sqlite/sqlite_file.h"
#include "server/store/sqlite/sqlite_schema.h"

namespace latchwork::server {
namespace {

using testing::expect_same_ledger;
namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "latchwork-store-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A small tmpfs over a directory, while it lives; only root may mount one.
class SmallFilesystem {
public:
    SmallFilesystem(const fs::path& where, const char* options) : where_(where) {
        mounted_ = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0;
        if (!mounted_) error_ = std::strerror(errno);
    }
    ~SmallFilesystem() {
        if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
    }
    SmallFilesystem(const SmallFilesystem&) = delete;
    SmallFilesystem& operator=(const SmallFilesystem&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    bool remount(unsigned long flags, const char* options) {
        return ::mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | flags, options) == 0;
    }

private:
    fs::path where_;
    bool mounted_ = false;
    std::string error_;
};

SqliteFile open_store(const std::string& path, SqliteFileOptions options = {}) {
    auto opened = SqliteFile::open(path, options);
    if (!opened) {
        ADD_FAILURE() << opened.error();
    }
    return std::move(opened).value();
}

void load_into(SqliteFile& store, RunLedger& ledger) {
    const std::optional<Failure> failed = store.load(ledger);
    ASSERT_FALSE(failed) << failed->message;
}

// Runs SQL on a store file behind the store's back, as a person with the shell would.
void run_sql(const std::string& path, const std::string& sql_text) {
    const char* sql = sql_text.c_str();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    ASSERT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
}

std::vector<StateChange> releases(int first, int count, std::size_t key_size) {
    std::vector<StateChange> batch;
    for (int i = first; i < first + count; ++i) {
        // Appended, not "e" + ...: GCC 12 at -O3 warns falsely (-Wrestrict) on that form.
        std::string key = "e";
        key += std::to_string(i);
        key.resize(key_size, 'x');
        batch.push_back(effect_state_change("run-" + std::to_string(i / 10), key,
                                            EffectState::released));
    }
    return batch;
}

struct FoldCase {
    const char* name;
    SqliteFileOptions options;
};

class SqliteFileFolding : public ::testing::TestWithParam<FoldCase> {};

// Random operations committed in random batches, with the store closed, reopened and
// reloaded several times on the way: the reloaded ledger carries on where the one in
// memory stood, including over rows written before the reopening. The journal is
// folded at every size, from each commit's oldest row to chunks wider than the batches.
TEST_P(SqliteFileFolding, RandomSequencesSurviveReopening) {
    const SqliteFileOptions options = GetParam().options;
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        TempDir dir;
        const std::string path = dir.file("gate.db");
        testing::RandomOperations operations(seed);
        auto memory = std::make_unique<RunLedger>();
        for (int session = 0; session < 4; ++session) {
            SqliteFile store = open_store(path, options);
            EXPECT_EQ(store.journal_changes(), 0u) << "opening folds the journal";
            auto loaded = std::make_unique<RunLedger>();
            load_into(store, *loaded);
            expect_same_ledger(*loaded, *memory);
            for (int batch = 0; batch < 30; ++batch) {
                std::vector<StateChange> changes;
                const unsigned size = 1 + operations.next(40);
                for (unsigned i = 0; i < size; ++i) operations.step(*memory, changes);
                const std::optional<Failure> failed = store.commit(changes);
                ASSERT_FALSE(failed) << failed->message;
            }
            if (session % 2 == 1) {
                ASSERT_FALSE(store.fold(1 + operations.next(100)));
            }
        }
        SqliteFile store = open_store(path, options);
        RunLedger loaded;
        load_into(store, loaded);
        expect_same_ledger(loaded, *memory);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, SqliteFileFolding,
    ::testing::Values(FoldCase{"never_while_open", {1u << 30, 1}},
                      FoldCase{"one_row_each_commit", {1, 1}},
                      FoldCase{"small_chunks", {16, 5}},
                      FoldCase{"chunks_wider_than_batches", {50, 200}},
                      FoldCase{"defaults", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SqliteFile, TheStateTablesHoldTheStateOnceFolded) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    {
        SqliteFile store = open_store(path);
        ASSERT_FALSE(store.commit(std::vector<StateChange>{
            effect_state_change("a", "k", EffectState::pending),
            effect_state_change("b", "k", EffectState::pending),
        }));
        ASSERT_FALSE(store.commit(std::vector<StateChange>{
            effect_state_change("a", "k", EffectState::released),
            run_cancelled_change("b"),
        }));
        EXPECT_EQ(store.journal_changes(), 4u);
        ASSERT_FALSE(store.fold(1));  // a batch is folded whole
        EXPECT_EQ(store.journal_changes(), 2u);
        ASSERT_FALSE(store.fold());
        EXPECT_EQ(store.journal_changes(), 0u);
    }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    std::string rows;
    const auto collect = [](void* out, int columns, char** values, char**) {
        auto& text = *static_cast<std::string*>(out);
        for (int i = 0; i < columns; ++i) text += std::string(values[i] ? values[i] : "NULL") + " ";
        text += "| ";
        return 0;
    };
    ASSERT_EQ(sqlite3_exec(raw,
                           "SELECT CAST(run_id AS TEXT), CAST(effect_key AS TEXT), state FROM effects;"
                           "SELECT CAST(run_id AS TEXT), cancelled, closed FROM runs;"
                           "SELECT count(*) FROM journal",
                           collect, &rows, nullptr),
              SQLITE_OK);
    EXPECT_EQ(rows, "a k released | b 1 0 | 0 | ");
}

TEST(SqliteFile, KeepsEmptyAndNulIdsApart) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    const std::string nul(1, '\0'), nul_nul(2, '\0');
    {
        SqliteFile store = open_store(path);
        const std::vector<StateChange> changes = {
            effect_state_change("", "", EffectState::released),
            effect_state_change("", nul, EffectState::rejected),
            effect_state_change(nul, "", EffectState::pending),
            effect_state_change(nul, nul_nul, EffectState::released),
            run_cancelled_change(nul_nul),
        };
        ASSERT_FALSE(store.commit(changes));
    }
    SqliteFile store = open_store(path);
    RunLedger ledger;
    load_into(store, ledger);
    EXPECT_EQ(ledger.state_len(), 4u);
    EXPECT_EQ(testing::probe_state(ledger, "", ""), EffectState::released);
    EXPECT_EQ(testing::probe_state(ledger, "", nul), EffectState::rejected);
    EXPECT_EQ(testing::probe_state(ledger, nul, ""), EffectState::pending);
    EXPECT_EQ(testing::probe_state(ledger, nul, nul_nul), EffectState::released);
    EXPECT_EQ(testing::probe_state(ledger, nul, nul), std::nullopt);
    EXPECT_TRUE(gate_is_cancelled(ledger, nul_nul));
    EXPECT_FALSE(gate_is_cancelled(ledger, nul));
    EXPECT_FALSE(gate_is_cancelled(ledger, ""));
}

// A batch larger than one journal row takes (keys of a mebibyte each) goes into
// several rows and comes back whole.
TEST(SqliteFile, AHugeBatchIsKeptWhole) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    std::vector<StateChange> batch;
    for (int i = 0; i < 24; ++i) {
        batch.push_back(effect_state_change("r", std::string(1 << 20, static_cast<char>('a' + i % 26)) +
                                                      std::to_string(i),
                                            EffectState::released));
    }
    {
        SqliteFile store = open_store(path);
        ASSERT_FALSE(store.commit(batch));
    }
    SqliteFile store = open_store(path);
    RunLedger ledger;
    load_into(store, ledger);
    EXPECT_EQ(ledger.released_count(), 24u);
    for (const StateChange& change : batch) {
        EXPECT_EQ(testing::probe_state(ledger, "r", change.effect_key), EffectState::released);
    }
}

TEST(SqliteFile, ARunsFlagsDropItsEffectsOnDisk) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    {
        SqliteFile store = open_store(path);
        ASSERT_FALSE(store.commit(std::vector<StateChange>{
            effect_state_change("a", "held", EffectState::pending),
            effect_state_change("a", "done", EffectState::released),
            effect_state_change("b", "done", EffectState::rejected),
            run_cancelled_change("a"),
            run_closed_change("b"),
        }));
    }
    SqliteFile store = open_store(path);
    RunLedger ledger;
    load_into(store, ledger);
    EXPECT_EQ(ledger.state_len(), 1u);
    EXPECT_EQ(testing::probe_state(ledger, "a", "done"), EffectState::released);
    EXPECT_TRUE(gate_is_cancelled(ledger, "a"));
    EXPECT_TRUE(gate_is_closed(ledger, "b"));
    EXPECT_FALSE(gate_is_cancelled(ledger, "b"));
}

TEST(SqliteFile, ASecondOpenIsRefusedUntilTheFirstCloses) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    {
        SqliteFile first = open_store(path);
        auto second = SqliteFile::open(path);
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error(),
                  "store " + path + " is in use by another process (database is locked)");

        // Another process, as a second server would be.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto other = SqliteFile::open(path);
            ::_exit(!other && other.error().find("in use") != std::string::npos ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        // The refused opens changed nothing for the holder.
        EXPECT_FALSE(first.commit(releases(0, 3, 4)));
    }
    SqliteFile again = open_store(path);
    RunLedger ledger;
    load_into(again, ledger);
    EXPECT_EQ(ledger.released_count(), 3u);
}

// A writer killed at some moment loses nothing it was told was committed: the child
// reports each batch after commit() returns, and the parent kills it mid-stream.
TEST(SqliteFile, CommittedBatchesSurviveSigkill) {
    for (const int kill_after_ms : {5, 40, 120}) {
        SCOPED_TRACE(::testing::Message() << "killed after " << kill_after_ms << " ms");
        TempDir dir;
        const std::string path = dir.file("gate.db");
        int pipe_fds[2];
        ASSERT_EQ(::pipe(pipe_fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipe_fds[0]);
            auto opened = SqliteFile::open(path);
            if (!opened) ::_exit(1);
            for (int batch = 0;; ++batch) {
                if (opened.value().commit(releases(batch * 8, 8, 6))) ::_exit(1);
                if (::write(pipe_fds[1], &batch, sizeof batch) != sizeof batch) ::_exit(1);
            }
        }
        ::close(pipe_fds[1]);
        ::usleep(static_cast<useconds_t>(kill_after_ms) * 1000);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        int reported = -1, batch;
        while (::read(pipe_fds[0], &batch, sizeof batch) == sizeof batch) reported = batch;
        ::close(pipe_fds[0]);

        SqliteFile store = open_store(path);
        RunLedger ledger;
        load_into(store, ledger);
        // Every reported batch is there; at most the one in flight besides.
        const std::uint64_t at_least = static_cast<std::uint64_t>(reported + 1) * 8;
        EXPECT_GE(ledger.released_count(), at_least);
        EXPECT_LE(ledger.released_count(), at_least + 8);
        EXPECT_EQ(ledger.released_count() % 8, 0u) << "a batch was torn";
    }
}

TEST(SqliteFile, RefusesFilesItDoesNotKnow) {
    TempDir dir;
    const std::string newer = dir.file("newer.db");
    { open_store(newer); }
    const std::string next = std::to_string(kStoreSchemaVersion + 1);
    run_sql(newer, "UPDATE schema_version SET version = " + next);
    auto refused = SqliteFile::open(newer);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "store " + newer + " has schema version " + next + ", newer than this "
                               "program's " + std::to_string(kStoreSchemaVersion) + ": use a newer latchwork-gate");

    const std::string foreign = dir.file("foreign.db");
    run_sql(foreign, "CREATE TABLE accounts (id INTEGER)");
    refused = SqliteFile::open(foreign);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "store " + foreign +
                                   " is not a latchwork-gate store (it holds another program's tables)");

    const std::string garbage = dir.file("garbage.db");
    std::ofstream(garbage) << std::string(8192, 'x');
    refused = SqliteFile::open(garbage);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "store " + garbage + ": file is not a database");

    refused = SqliteFile::open(dir.file("no-such-dir/gate.db"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "store " + dir.file("no-such-dir/gate.db") +
                                   ": unable to open database file");
    EXPECT_EQ(SqliteFile::open("").error(), "store path is empty");
}

TEST(SqliteFile, RefusesADamagedEffectsTable) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    { open_store(path); }
    run_sql(path, "INSERT INTO runs (run_id, closed) VALUES (x'72', 1);"
                  "INSERT INTO effects (run_id, effect_key, state, changed_at)"
                  " VALUES (x'72', x'6b', 'released', 0)");
    SqliteFile store = open_store(path);
    RunLedger ledger;
    const std::optional<Failure> failed = store.load(ledger);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->message, "store failed: the effects table contradicts the runs table or itself");
    EXPECT_TRUE(store.failed());
}

TEST(SqliteFile, RefusesADamagedJournal) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    {
        SqliteFile store = open_store(path);
        ASSERT_FALSE(store.commit(releases(0, 3, 4)));
    }
    // A change cut short after its run id's length: the journal cannot be folded.
    run_sql(path, "INSERT INTO journal (change_count, changed_at, changes)"
                  " VALUES (1, 0, x'0102ff000000')");
    auto refused = SqliteFile::open(path);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "store failed: the journal holds a batch this program does not know");
}

TEST(SqliteFile, ARelativePathIsAlwaysAFile) {
    TempDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    {
        SqliteFile store = open_store(":memory:");
        EXPECT_FALSE(store.commit(releases(0, 1, 2)));
    }
    EXPECT_TRUE(fs::exists(dir.path() / ":memory:"));
    fs::current_path(before);
}

// Every later commit fails the same way, whether or not the cause went away.
void expect_failed_for_good(SqliteFile& store, const std::string& message) {
    EXPECT_TRUE(store.failed());
    const std::optional<Failure> again = store.commit(releases(1000, 1, 2));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->message, message);
}

TEST(SqliteFile, AFileRemovedWhileOpenFailsTheNextCommit) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    SqliteFile store = open_store(path);
    ASSERT_FALSE(store.commit(releases(0, 5, 4)));
    fs::remove(path);
    const std::optional<Failure> failed = store.commit(releases(5, 5, 4));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->message,
              "store failed: " + path + " or its log was removed or replaced while in use");
    expect_failed_for_good(store, failed->message);
}

TEST(SqliteFile, ARemovedLogFailsTheNextCommit) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    SqliteFile store = open_store(path);
    ASSERT_FALSE(store.commit(releases(0, 5, 4)));
    ASSERT_TRUE(fs::remove(path + "-wal"));
    const std::optional<Failure> failed = store.commit(releases(5, 5, 4));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->message,
              "store failed: " + path + " or its log was removed or replaced while in use");
}

TEST(SqliteFile, AReadOnlyFileIsRefused) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    { open_store(path); }
    std::optional<SmallFilesystem> readonly;
    if (::geteuid() == 0) {
        // Root writes through file modes, so the whole filesystem is made read-only.
        fs::create_directory(dir.path() / "ro");
        readonly.emplace(dir.path() / "ro", "size=1m");
        if (!readonly->mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << readonly->error();
        fs::copy_file(path, dir.file("ro/gate.db"));
        if (!readonly->remount(MS_RDONLY, "size=1m")) GTEST_SKIP() << "cannot remount read-only";
    } else {
        fs::create_directory(dir.path() / "ro");
        fs::copy_file(path, dir.file("ro/gate.db"));
        fs::permissions(dir.file("ro/gate.db"), fs::perms::owner_read);
        fs::permissions(dir.path() / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    }
    auto refused = SqliteFile::open(dir.file("ro/gate.db"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "store " + dir.file("ro/gate.db") + " is read-only");
    if (!readonly) fs::permissions(dir.path() / "ro", fs::perms::owner_all);
}

// A full disk fails the commit and every later one; what was committed before stays
// readable once there is room again.
TEST(SqliteFile, AFullDiskFailsClosedAndKeepsWhatWasCommitted) {
    TempDir dir;
    fs::create_directory(dir.path() / "small");
    SmallFilesystem small(dir.path() / "small", "size=2m");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs: " << small.error();
    const std::string path = dir.file("small/gate.db");
    RunLedger committed;
    std::optional<Failure> failed;
    {
        SqliteFile store = open_store(path);
        for (int batch = 0; batch < 1000 && !failed; ++batch) {
            const std::vector<StateChange> changes = releases(batch * 64, 64, 200);
            failed = store.commit(changes);
            if (!failed) apply_changes(committed, changes);
        }
        ASSERT_TRUE(failed) << "2 MiB never filled up";
        EXPECT_EQ(failed->message, "store failed: database or disk is full");
        EXPECT_GT(committed.released_count(), 0u);
        expect_failed_for_good(store, failed->message);
    }
    ASSERT_TRUE(small.remount(0, "size=16m"));
    SqliteFile store = open_store(path);
    RunLedger loaded;
    load_into(store, loaded);
    EXPECT_EQ(loaded.released_count(), committed.released_count());
    for (int i = 0; i < static_cast<int>(committed.released_count()); i += 97) {
        const StateChange probe = releases(i, 1, 200).front();
        EXPECT_EQ(testing::probe_state(loaded, probe.run_id, probe.effect_key),
                  EffectState::released);
    }
}


// The audit log and the holds, kept with the batches they came with.
server::AuditEntry audit(server::AuditEvent event, const std::string& run, const std::string& key,
                         std::int64_t at, std::int64_t deadline = 0) {
    server::AuditEntry entry;
    entry.at_ms = at;
    entry.event = event;
    entry.run_id = run;
    entry.effect_key = key;
    entry.verdict = event == server::AuditEvent::held ? "held_for_approval" : "release";
    entry.approved = event == server::AuditEvent::decided;
    entry.source = "console:ada";
    entry.reason = std::string("why\0not", 7);
    entry.deadline_ms = deadline;
    return entry;
}

TEST(SqliteFileAudit, EntriesAndHoldsSurviveReopeningInOrder) {
    TempDir dir;
    const std::string path = dir.file("audit.db");
    std::vector<server::AuditEntry> written = {
        audit(server::AuditEvent::held, "r", "late", 300, 9000),
        audit(server::AuditEvent::held, "r", "early", 100),
        audit(server::AuditEvent::held, std::string("s\0", 2), "x", 200, 7000),
        audit(server::AuditEvent::decided, "r", "gone", 400),
    };
    {
        SqliteFile store = open_store(path);
        ASSERT_FALSE(store.commit(std::vector<StateChange>{
                                      effect_state_change("r", "late", EffectState::pending),
                                      effect_state_change("r", "early", EffectState::pending)},
                                  std::span(written).first(2)));
        ASSERT_FALSE(store.commit(std::vector<StateChange>{effect_state_change(
                                      std::string("s\0", 2), "x", EffectState::pending)},
                                  std::span(written).subspan(2, 1)));
        // A decide that changed nothing still leaves its entry.
        ASSERT_FALSE(store.commit({}, std::span(written).subspan(3)));
    }
    SqliteFile store = open_store(path);
    RunLedger ledger;
    load_into(store, ledger);
    auto read = store.read_audit({});
    ASSERT_TRUE(read) << read.error();
    ASSERT_EQ(read.value().size(), written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        written[i].seq = i + 1;
        EXPECT_EQ(read.value()[i], written[i]) << i;
    }
    server::AuditQuery query;
    query.run = "r";
    query.after = 1;
    query.limit = 1;
    read = store.read_audit(query);
    ASSERT_EQ(read.value().size(), 1u);
    EXPECT_EQ(read.value()[0].effect_key, "early");
    server::AuditQuery by_seq;  // as a follower looks again for seqs it passed over
    by_seq.seqs = {2, 4, 9};
    read = store.read_audit(by_seq);
    ASSERT_TRUE(read) << read.error();
    ASSERT_EQ(read.value().size(), 2u);
    EXPECT_EQ(read.value()[0].effect_key, "early");
    EXPECT_EQ(read.value()[1].effect_key, "gone");

    auto holds = store.waiting_holds();
    ASSERT_TRUE(holds) << holds.error();
    ASSERT_EQ(holds.value().size(), 3u);
    EXPECT_EQ(holds.value()[0].effect_key, "late");  // hold order, not time or key order
    EXPECT_EQ(holds.value()[0].deadline_ms, 9000);
    EXPECT_EQ(holds.value()[1].effect_key, "early");
    EXPECT_EQ(holds.value()[1].held_at_ms, 100);
    EXPECT_EQ(holds.value()[1].deadline_ms, 0);
    EXPECT_EQ(holds.value()[2].run_id, std::string("s\0", 2));
}

// The first layout, as a program of that version created it.
constexpr const char* kVersionOneSchema = R"sql(
CREATE TABLE schema_version (version INTEGER NOT NULL);
CREATE TABLE runs (run_id BLOB PRIMARY KEY NOT NULL,
  cancelled INTEGER NOT NULL DEFAULT 0 CHECK (cancelled IN (0, 1)),
  closed INTEGER NOT NULL DEFAULT 0 CHECK (closed IN (0, 1))) WITHOUT ROWID;
CREATE TABLE effects (run_id BLOB NOT NULL, effect_key BLOB NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('pending', 'released', 'rejected')),
  changed_at INTEGER NOT NULL, PRIMARY KEY (run_id, effect_key)) WITHOUT ROWID;
CREATE TABLE journal (seq INTEGER PRIMARY KEY, change_count INTEGER NOT NULL,
  changed_at INTEGER NOT NULL, changes BLOB NOT NULL);
INSERT INTO schema_version (version) VALUES (1);
PRAGMA application_id = 1280788308;
INSERT INTO runs (run_id, cancelled) VALUES (CAST('stopped' AS BLOB), 1);
INSERT INTO effects VALUES (CAST('r' AS BLOB), CAST('second' AS BLOB), 'pending', 2000);
INSERT INTO effects VALUES (CAST('r' AS BLOB), CAST('first' AS BLOB), 'pending', 1000);
INSERT INTO effects VALUES (CAST('r' AS BLOB), CAST('done' AS BLOB), 'released', 500);
)sql";

TEST(SqliteFileAudit, AVersionOneFileIsUpgradedAndKeepsItsState) {
    TempDir dir;
    const std::string path = dir.file("old.db");
    run_sql(path, kVersionOneSchema);
    {
        SqliteFile store = open_store(path);
        RunLedger ledger;
        load_into(store, ledger);
        EXPECT_EQ(ledger.pending_count(), 2u);
        EXPECT_EQ(ledger.state_len(), 3u);
        EXPECT_TRUE(ledger.find_run("stopped")->cancelled);
        // Held before the log existed: as of the row's time, in that order, no deadline.
        auto holds = store.waiting_holds();
        ASSERT_TRUE(holds) << holds.error();
        ASSERT_EQ(holds.value().size(), 2u);
        EXPECT_EQ(holds.value()[0].effect_key, "first");
        EXPECT_EQ(holds.value()[0].held_at_ms, 1000);
        EXPECT_EQ(holds.value()[0].deadline_ms, 0);
        EXPECT_TRUE(store.read_audit({}).value().empty());
        const server::AuditEntry entry = audit(server::AuditEvent::decided, "r", "first", 3000);
        ASSERT_FALSE(store.commit(std::vector<StateChange>{effect_state_change(
                                      "r", "first", EffectState::released)},
                                  std::span(&entry, 1)));
    }
    SqliteFile store = open_store(path);
    EXPECT_EQ(store.read_audit({}).value().size(), 1u);
    sqlite3* raw = nullptr;
    store = open_store(dir.file("other.db"));  // let go of old.db
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw, "SELECT max(version), count(*) FROM schema_version", -1,
                                 &statement, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), kStoreSchemaVersion);
    EXPECT_EQ(sqlite3_column_int(statement, 1), 1);
    sqlite3_finalize(statement);
}

TEST(SqliteFileAudit, ReadingNeverCreatesAFileAndIsRefusedWhileAStoreHoldsIt) {
    TempDir dir;
    const std::string missing = dir.file("missing.db");
    SqliteFileOptions reading;
    reading.create = false;
    auto refused = SqliteFile::open(missing, reading);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "store " + missing + " does not exist");
    EXPECT_FALSE(fs::exists(missing));

    const std::string held = dir.file("held.db");
    SqliteFile owner = open_store(held);
    refused = SqliteFile::open(held, reading);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "store " + held + " is in use by another process (database is locked)");
}


// Readers beside an open store: the log, a long reader's snapshot, the lock file.

TEST(SqliteFileReaders, TheLogIsReadBesideTheStoreThatHoldsTheFile) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    SqliteFile store = open_store(path);
    const server::AuditEntry held = audit(server::AuditEvent::held, "r", "k", 100, 900);
    ASSERT_FALSE(store.commit(std::vector<StateChange>{effect_state_change("r", "k", EffectState::pending)},
                              std::span(&held, 1)));
    auto read = SqliteFile::read_log(path, {});
    ASSERT_TRUE(read) << read.error();
    ASSERT_EQ(read.value().size(), 1u);
    EXPECT_EQ(read.value()[0].deadline_ms, 900);
    EXPECT_FALSE(store.commit(releases(0, 3, 4)));  // the reader left nothing in its way

    // Files no server has set up read as empty, and are left as they were.
    const std::string empty = dir.file("empty.db"), old = dir.file("old.db");
    std::ofstream{empty};
    run_sql(old, kVersionOneSchema);
    EXPECT_TRUE(SqliteFile::read_log(empty, {}).value().empty());
    EXPECT_TRUE(SqliteFile::read_log(old, {}).value().empty());
    EXPECT_EQ(fs::file_size(empty), 0u);
    const std::string foreign = dir.file("foreign.db");
    run_sql(foreign, "CREATE TABLE accounts (id INTEGER)");
    EXPECT_EQ(SqliteFile::read_log(foreign, {}).error(),
              "store " + foreign + " is not a latchwork-gate store (it holds another program's tables)");
    const std::string next = std::to_string(kStoreSchemaVersion + 1);
    run_sql(path, "UPDATE schema_version SET version = " + next);
    EXPECT_EQ(SqliteFile::read_log(path, {}).error(),
              "store " + path + " has schema version " + next + ", newer than this program's " +
                  std::to_string(kStoreSchemaVersion) + ": use a newer latchwork-gate");
}

// A reader holding a snapshot keeps the checkpoints from passing it, so the log grows
// while it reads; once it lets go, the next commits check the log in, start it over and
// cut the file back to the limit.
TEST(SqliteFileReaders, AReaderHoldsTheLogBackOnlyWhileItReads) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    SqliteFileOptions options;
    options.log_size_limit = 1 << 20;
    SqliteFile store = open_store(path, options);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> reader(raw, sqlite3_close);
    ASSERT_EQ(sqlite3_exec(raw, "BEGIN; SELECT count(*) FROM journal", nullptr, nullptr, nullptr),
              SQLITE_OK);
    // Unhindered, the log starts over every thousand pages (4 MiB).
    int batch = 0;
    while (fs::file_size(path + "-wal") < (8u << 20)) {
        ASSERT_LT(batch, 1000) << "the log never grew: nothing held it back";
        ASSERT_FALSE(store.commit(releases(batch++ * 32, 32, 4000)));
    }
    ASSERT_EQ(sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_FALSE(store.commit(releases(batch++ * 32, 32, 4000)));  // checkpoints it all
    ASSERT_FALSE(store.commit(releases(batch++ * 32, 32, 4000)));  // starts the log over
    EXPECT_LE(fs::file_size(path + "-wal"), static_cast<std::uintmax_t>(options.log_size_limit));
}

// Without its lock file a second store opens the file: the first fails closed.
TEST(SqliteFileReaders, ARemovedLockFileFailsTheNextCommit) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    SqliteFile store = open_store(path);
    ASSERT_TRUE(fs::remove(path + ".lock"));
    SqliteFile second = open_store(path);
    const std::optional<Failure> failed = store.commit(releases(0, 1, 2));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->message, "store failed: " + path + ".lock was removed or replaced while in use");
}


// Approved effects and the details of held ones, kept through the journal, the fold and
// an upgrade from the layout before them.

// The single integer `sql` yields on the file, read behind the store's back.
std::int64_t query_int(const std::string& path, const char* sql) {
    sqlite3* raw = nullptr;
    if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK) ADD_FAILURE() << "cannot open " << path;
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(raw, sql, -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(raw);
        return -1;
    }
    const std::int64_t value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    return value;
}

StateChange held_with(const std::string& run, const std::string& key, const std::string& detail) {
    StateChange change = effect_state_change(run, key, EffectState::pending);
    change.detail = detail;
    return change;
}

server::AuditEntry held_entry(const std::string& key, std::int64_t at, const std::string& detail) {
    server::AuditEntry entry = audit(server::AuditEvent::held, "r", key, at);
    entry.detail = detail;
    return entry;
}

class SqliteFileWaiting : public ::testing::TestWithParam<FoldCase> {};

// An approval folded with its hold, or after the hold was folded alone, keeps the
// hold's detail; an effect that stops waiting drops it; a cancel drops approved effects.
TEST_P(SqliteFileWaiting, ApprovalsAndDetailsSurviveFoldingAndReopening) {
    TempDir dir;
    const std::string path = dir.file("gate.db");
    const std::string detail_a = R"({"amount":5,"to":"\u00e9"})";
    {
        SqliteFile store = open_store(path, GetParam().options);
        ASSERT_FALSE(store.commit(
            std::vector<StateChange>{held_with("r", "a", detail_a), held_with("r", "b", ""),
                                     held_with("r", "c", R"({"c":1})"),
                                     held_with("gone", "x", R"({"x":1})")},
            std::vector<server::AuditEntry>{held_entry("a", 100, detail_a),
                                            held_entry("b", 200, ""),
                                            held_entry("c", 300, R"({"c":1})")}));
        server::AuditEntry taken = audit(server::AuditEvent::taken, "r", "d", 400);
        ASSERT_FALSE(store.commit(
            std::vector<StateChange>{effect_state_change("r", "a", EffectState::approved),
                                     effect_state_change("r", "c", EffectState::released),
                                     held_with("gone", "y", R"({"y":1})"),
                                     effect_state_change("gone", "y", EffectState::approved),
                                     run_cancelled_change("gone")},
            std::span(&taken, 1)));
    }
    SqliteFile store = open_store(path, GetParam().options);
    RunLedger ledger;
    load_into(store, ledger);
    EXPECT_EQ(ledger.approved_count(), 1u);
    EXPECT_EQ(ledger.pending_count(), 1u);
    EXPECT_EQ(ledger.state_len(), 3u);
    EXPECT_FALSE(testing::probe_state(ledger, "gone", "y")) << "the cancel dropped the approved effect";

    const Result<std::vector<StoredHold>> holds = store.waiting_holds();
    ASSERT_TRUE(holds) << holds.error();
    ASSERT_EQ(holds.value().size(), 2u);
    EXPECT_EQ(holds.value()[0].effect_key, "a");
    EXPECT_EQ(holds.value()[0].detail, detail_a);
    EXPECT_TRUE(holds.value()[0].approved);
    EXPECT_EQ(holds.value()[0].held_at_ms, 100);
    EXPECT_EQ(holds.value()[1].effect_key, "b");
    EXPECT_EQ(holds.value()[1].detail, "");
    EXPECT_FALSE(holds.value()[1].approved);

    const auto read = store.read_audit({});
    ASSERT_TRUE(read) << read.error();
    ASSERT_EQ(read.value().size(), 4u);
    EXPECT_EQ(read.value()[0].detail, detail_a);
    EXPECT_EQ(read.value()[3].event, server::AuditEvent::taken);
    // Nothing but the approved effect's detail is left on disk.
    EXPECT_EQ(query_int(path, "SELECT count(*) FROM effects WHERE detail IS NOT NULL"), 1);
    // Pruning keeps the holds of the waiting effects, approved or not, and the newest.
    EXPECT_EQ(store.prune_audit(INT64_MAX, 100).value(), 1u);
    EXPECT_EQ(store.waiting_holds().value().front().held_at_ms, 100);
}

INSTANTIATE_TEST_SUITE_P(
    Folds, SqliteFileWaiting,
    ::testing::Values(FoldCase{"hold_and_approval_folded_together", {1u << 30, 1}},
                      FoldCase{"approval_folded_after_its_hold", {1, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

// The second layout, as a program of that version created it, with an operator's
// trigger, a journal row in that version's encoding and an audit entry.
constexpr const char* kVersionTwoSchema = R"sql(
CREATE TABLE audit (seq INTEGER PRIMARY KEY, at INTEGER NOT NULL,
  event TEXT NOT NULL CHECK (event IN ('held', 'decided', 'expired', 'cancelled', 'closed')),
  run_id BLOB NOT NULL, effect_key BLOB NOT NULL,
  approved INTEGER NOT NULL CHECK (approved IN (0, 1)), verdict TEXT NOT NULL,
  source BLOB NOT NULL, mac_verified INTEGER NOT NULL CHECK (mac_verified IN (0, 1)),
  reason BLOB NOT NULL, deadline INTEGER);
CREATE INDEX audit_by_effect ON audit (run_id, effect_key, seq);
UPDATE schema_version SET version = 2;
INSERT INTO audit VALUES (1, 1000, 'held', CAST('r' AS BLOB), CAST('first' AS BLOB), 0,
  'held_for_approval', CAST('line:x' AS BLOB), 0, X'', 9000);
-- kind 1, state 1 (pending), run "r", key "j"
INSERT INTO journal (change_count, changed_at, changes)
  VALUES (1, 2500, X'01010100000072010000006A');
CREATE TABLE watched (state TEXT);
CREATE TRIGGER effects_watched AFTER INSERT ON effects BEGIN
  INSERT INTO watched VALUES (NEW.state); END;
)sql";

TEST(SqliteFileWaitingUpgrade, AVersionTwoFileIsUpgradedInPlace) {
    TempDir dir;
    const std::string path = dir.file("old.db");
    run_sql(path, kVersionOneSchema);
    run_sql(path, kVersionTwoSchema);
    // A reader leaves the file at its version and reads its entries, with no detail.
    const auto before = SqliteFile::read_log(path, {});
    ASSERT_TRUE(before) << before.error();
    ASSERT_EQ(before.value().size(), 1u);
    EXPECT_EQ(before.value()[0].deadline_ms, 9000);
    EXPECT_EQ(query_int(path, "SELECT version FROM schema_version"), 2);
    {
        SqliteFile store = open_store(path);
        RunLedger ledger;
        load_into(store, ledger);
        EXPECT_EQ(ledger.pending_count(), 3u) << "the rows and the old journal row are kept";
        EXPECT_TRUE(ledger.find_run("stopped")->cancelled);
        EXPECT_EQ(store.waiting_holds().value().back().deadline_ms, 9000);
        server::AuditEntry taken = audit(server::AuditEvent::taken, "r", "first", 3000);
        taken.detail = R"({"k":1})";
        ASSERT_FALSE(store.commit(
            std::vector<StateChange>{effect_state_change("r", "first", EffectState::approved),
                                     held_with("r", "new", R"({"k":2})")},
            std::span(&taken, 1)));
        ASSERT_FALSE(store.fold());
    }
    EXPECT_EQ(query_int(path, "SELECT version FROM schema_version"), kStoreSchemaVersion);
    EXPECT_EQ(query_int(path, "SELECT count(*) FROM sqlite_master WHERE name IN"
                              " ('audit_by_effect', 'effects_watched')"), 2);
    // The trigger fired for the journal's row folded in at opening, and for the new hold.
    EXPECT_EQ(query_int(path, "SELECT count(*) FROM watched WHERE state = 'pending'"), 2);
    EXPECT_EQ(query_int(path, "SELECT count(*) FROM effects WHERE state = 'approved'"
                              " OR detail = '{\"k\":2}'"), 2);
    const auto after = SqliteFile::read_log(path, {});
    ASSERT_TRUE(after) << after.error();
    ASSERT_EQ(after.value().size(), 2u);
    EXPECT_EQ(after.value()[1].event, server::AuditEvent::taken);
    EXPECT_EQ(after.value()[1].detail, R"({"k":1})");
}

}  // namespace
// Retention: the oldest entries go, a bounded number per step; the newest entry and the
// hold and approvals of a still pending effect stay, and seq numbering goes on past what
// was pruned.
TEST(SqliteFile, PruningTheAuditLogTakesTheOldestAndKeepsWhatARestartNeeds) {
    TempDir dir;
    SqliteFile store = open_store(dir.file("gate.db"));
    const auto entry = [](AuditEvent event, const char* key, std::int64_t at_ms) {
        AuditEntry made;
        made.event = event;
        made.run_id = "r";
        made.effect_key = key;
        made.at_ms = at_ms;
        made.verdict = "v";
        made.source = "line:test";
        return made;
    };
    // seq 1-2: the hold of "p", still pending, and one approval of it; 3-6: "done" held
    // and decided, then more.
    AuditEntry approval = entry(AuditEvent::approval_recorded, "p", 150);
    approval.source = "console:ada";
    ASSERT_FALSE(store.commit(std::vector<StateChange>{effect_state_change("r", "p", EffectState::pending),
                                                       approval_recorded_change("r", "p", {"ada"})},
                              std::vector<AuditEntry>{entry(AuditEvent::held, "p", 100), approval}));
    ASSERT_FALSE(store.commit(std::vector<StateChange>{effect_state_change("r", "done", EffectState::released)},
                              std::vector<AuditEntry>{entry(AuditEvent::held, "done", 200),
                                                      entry(AuditEvent::decided, "done", 300),
                                                      entry(AuditEvent::decided, "x", 400),
                                                      entry(AuditEvent::decided, "y", 500)}));
    ASSERT_FALSE(store.fold());
    const auto seqs = [&] {
        std::vector<std::uint64_t> found;
        const Result<std::vector<AuditEntry>> read = store.read_audit({});
        for (const AuditEntry& e : read.value()) found.push_back(e.seq);
        return found;
    };
    using Seqs = std::vector<std::uint64_t>;
    EXPECT_EQ(store.prune_audit(450, 3).value(), 1u);  // of the 3 oldest, only seq 3 may go
    EXPECT_EQ(seqs(), (Seqs{1, 2, 4, 5, 6}));
    EXPECT_EQ(store.prune_audit(10'000, 100).value(), 2u);  // all old, but the newest stays
    EXPECT_EQ(seqs(), (Seqs{1, 2, 6}));
    EXPECT_EQ(store.prune_audit(10'000, 100).value(), 0u);
    ASSERT_FALSE(store.commit({}, std::vector<AuditEntry>{entry(AuditEvent::decided, "z", 600)}));
    EXPECT_EQ(seqs(), (Seqs{1, 2, 6, 7}));  // numbering goes on
    // The pending effect's hold is still what a restart reads back.
    const Result<std::vector<StoredHold>> holds = store.waiting_holds();
    ASSERT_EQ(holds.value().size(), 1u);
    EXPECT_EQ(holds.value()[0].held_at_ms, 100);
    EXPECT_EQ(holds.value()[0].approvals, std::vector<std::string>{"ada"});
}

}  // namespace latchwork::server
