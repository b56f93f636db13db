// sqlite_schema.cpp: the store file's tables, created in numbered steps and upgraded in place.
#include "server/store/sqlite/sqlite_schema.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "server/store/sqlite/sqlite_statements.h"

namespace latchwork::server {
namespace {

// Marks the file as ours in its header (PRAGMA application_id), so that some other
// program's database is refused rather than written into.
constexpr std::int32_t kApplicationId = 0x4c574754;

// The columns a version 2 file's rebuilt tables carry over; the columns step 3 adds
// start as NULL.
struct RebuiltTable {
    const char* name;
    const char* columns;
};
constexpr RebuiltTable kRebuiltByStep3[] = {
    {"effects", "run_id, effect_key, state, changed_at"},
    {"journal", "seq, change_count, changed_at, changes"},
    {"audit", "seq, at, event, run_id, effect_key, approved, verdict, source, mac_verified,"
              " reason, deadline"},
};

constexpr RebuiltTable kRebuiltByStep4[] = {
    {"audit", "seq, at, event, run_id, effect_key, approved, verdict, source, mac_verified,"
              " reason, deadline, detail"},
};
constexpr RebuiltTable kRebuiltByStep5[] = {
    {"audit", "seq, at, event, run_id, effect_key, approved, verdict, source, mac_verified,"
              " reason, deadline, detail"},
};
constexpr RebuiltTable kRebuiltByStep6[] = {
    {"audit", "seq, at, event, run_id, effect_key, approved, verdict, source, mac_verified,"
              " reason, deadline, detail"},
};
constexpr RebuiltTable kRebuiltByStep8[] = {
    {"audit", "seq, at, event, run_id, effect_key, approved, verdict, source, mac_verified,"
              " reason, deadline, detail"},
};

// A step: `sql` run as it is; or, with `rebuilt`, `sql` creating those tables anew and
// filled with the old ones' rows (rebuild_tables), for a change SQLite cannot make in
// place, such as a new CHECK constraint.
struct SchemaStep {
    int version;
    const char* sql;
    std::span<const RebuiltTable> rebuilt = {};
};

// The schema, kept with its comments in sqlite_master so `.schema` in the sqlite3
// shell documents the file it is looking at, built in steps: step N takes a file at
// version N-1 to version N, and a new file takes them all. A step, once released, is
// never edited: files out there are at its version, and its comments are in them
// until a later step rebuilds the table. A new step goes at the end, and
// kStoreSchemaVersion (sqlite_schema.h) becomes its number.
constexpr SchemaStep kSteps[] = {
    // Step 1: the state tables and the journal.
    {1, R"sql(
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
CREATE TABLE journal (
  -- Batches committed but not yet folded into runs and effects: the state is those
  -- two tables with these batches applied in seq order. A start folds them in.
  -- changes holds the batch's changes one after another, each made of
  --   1 byte, the kind: 1 = the effect (run_id, effect_key) is now in state,
  --                     2 = the run is cancelled and its pending effects are gone,
  --                     3 = the run is closed and all its effects are gone;
  --   for kind 1, 1 byte, the state: 1 = pending, 2 = released, 3 = rejected;
  --   the run id, and for kind 1 the effect key: each a 4-byte little-endian
  --   length, then that many bytes.
  seq INTEGER PRIMARY KEY,
  change_count INTEGER NOT NULL,
  -- The commit time, in milliseconds since 1970-01-01 UTC.
  changed_at INTEGER NOT NULL,
  changes BLOB NOT NULL
);
)sql"},

    // Step 2: the audit log.
    {2, R"sql(
CREATE TABLE audit (
  -- Every decision and every hold, expiry, cancel and close that changed something,
  -- kept for good, in seq order. Written in the transaction of the batch that holds
  -- the request's changes.
  seq INTEGER PRIMARY KEY,
  -- When it was decided: milliseconds since 1970-01-01 UTC.
  at INTEGER NOT NULL,
  event TEXT NOT NULL CHECK (event IN ('held', 'decided', 'expired', 'cancelled', 'closed')),
  run_id BLOB NOT NULL,
  effect_key BLOB NOT NULL,  -- empty for cancelled and closed
  approved INTEGER NOT NULL CHECK (approved IN (0, 1)),
  verdict TEXT NOT NULL,
  -- 'line:IP:PORT' (a line-protocol peer), 'console:NAME' (an approver) or 'expiry'.
  source BLOB NOT NULL,
  mac_verified INTEGER NOT NULL CHECK (mac_verified IN (0, 1)),
  reason BLOB NOT NULL,
  -- held: when the effect expires (milliseconds since 1970-01-01 UTC); NULL for never.
  deadline INTEGER
);
CREATE INDEX audit_by_effect ON audit (run_id, effect_key, seq);
)sql"},

    // Step 3: effects approved by a person and waiting for their submitter, and the
    // detail a submitter gave a held effect. SQLite cannot change a CHECK constraint,
    // so the tables whose checks change are built anew (see rebuild_tables) under
    // their names.
    {3, R"sql(
CREATE TABLE effects (
  -- Every effect the gate remembers, in its one state. A cancelled run keeps its
  -- released and rejected effects; a closed run keeps none. An approved effect was
  -- approved by a person; its submitter's next submit takes the release.
  run_id BLOB NOT NULL,
  effect_key BLOB NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('pending', 'approved', 'released', 'rejected')),
  -- When the effect entered this state: milliseconds since 1970-01-01 UTC, the time
  -- of the commit; datetime(changed_at / 1000, 'unixepoch') shows it.
  changed_at INTEGER NOT NULL,
  -- pending and approved: what the submitter said the effect is, compact JSON; NULL
  -- for none, and once the effect no longer waits.
  detail TEXT,
  PRIMARY KEY (run_id, effect_key)
) WITHOUT ROWID;
CREATE TABLE journal (
  -- Batches committed but not yet folded into runs and effects: the state is those
  -- two tables with these batches applied in seq order. A start folds them in.
  -- changes holds the batch's changes one after another, each made of
  --   1 byte, the kind: 1 = the effect (run_id, effect_key) is now in state,
  --                     2 = the run is cancelled and its waiting effects are gone,
  --                     3 = the run is closed and all its effects are gone,
  --                     4 = the effect (run_id, effect_key) is now pending, held
  --                         with a detail;
  --   for kind 1, 1 byte, the state: 1 = pending (with no detail), 2 = released,
  --   3 = rejected, 4 = approved (the detail stays as it was);
  --   the run id, for kinds 1 and 4 the effect key, for kind 4 the detail: each a
  --   4-byte little-endian length, then that many bytes.
  seq INTEGER PRIMARY KEY,
  change_count INTEGER NOT NULL,
  -- The commit time, in milliseconds since 1970-01-01 UTC.
  changed_at INTEGER NOT NULL,
  changes BLOB NOT NULL
);
CREATE TABLE audit (
  -- Every decision and every hold, expiry, cancel, close and taken approval that
  -- changed something, kept for good, in seq order. Written in the transaction of the
  -- batch that holds the request's changes.
  seq INTEGER PRIMARY KEY,
  -- When it was decided: milliseconds since 1970-01-01 UTC.
  at INTEGER NOT NULL,
  event TEXT NOT NULL
    CHECK (event IN ('held', 'decided', 'expired', 'cancelled', 'closed', 'taken')),
  run_id BLOB NOT NULL,
  effect_key BLOB NOT NULL,  -- empty for cancelled and closed
  approved INTEGER NOT NULL CHECK (approved IN (0, 1)),
  verdict TEXT NOT NULL,
  -- 'line:IP:PORT' (a line-protocol peer), 'client:NAME' (a client that said hello),
  -- 'console:NAME' (an approver) or 'expiry'.
  source BLOB NOT NULL,
  mac_verified INTEGER NOT NULL CHECK (mac_verified IN (0, 1)),
  reason BLOB NOT NULL,
  -- held: when the effect expires (milliseconds since 1970-01-01 UTC); NULL for never.
  deadline INTEGER,
  -- held: the effect's detail, compact JSON; NULL for none.
  detail TEXT
);
)sql", kRebuiltByStep3},
    // Step 4: the audit log also records releases to clients that said hello.
    {4, R"sql(
CREATE TABLE audit (
  -- Every decision and every hold, expiry, cancel, close and taken approval that
  -- changed something, and every release to a client that said hello, kept for good,
  -- in seq order. Written in the transaction of the batch that holds the request's
  -- changes.
  seq INTEGER PRIMARY KEY,
  -- When it was decided: milliseconds since 1970-01-01 UTC.
  at INTEGER NOT NULL,
  event TEXT NOT NULL
    CHECK (event IN ('held', 'decided', 'expired', 'cancelled', 'closed', 'taken', 'released')),
  run_id BLOB NOT NULL,
  effect_key BLOB NOT NULL,  -- empty for cancelled and closed
  approved INTEGER NOT NULL CHECK (approved IN (0, 1)),
  verdict TEXT NOT NULL,
  -- 'line:IP:PORT' (a line-protocol peer), 'client:NAME' (a client that said hello),
  -- 'console:NAME' (an approver) or 'expiry'.
  source BLOB NOT NULL,
  mac_verified INTEGER NOT NULL CHECK (mac_verified IN (0, 1)),
  reason BLOB NOT NULL,
  -- held: when the effect expires (milliseconds since 1970-01-01 UTC); NULL for never.
  deadline INTEGER,
  -- held and released: the effect's detail, compact JSON; NULL for none.
  detail TEXT
);
)sql", kRebuiltByStep4},
    // Step 5: the audit log also records what shadow rules would have decided.
    {5, R"sql(
CREATE TABLE audit (
  -- Every decision and every hold, expiry, cancel, close and taken approval that
  -- changed something, every release to a client that said hello, and, with shadow
  -- rules, every new effect a rule would have decided otherwise ('would'), kept for
  -- good, in seq order. Written in the transaction of the batch that holds the
  -- request's changes.
  seq INTEGER PRIMARY KEY,
  -- When it was decided: milliseconds since 1970-01-01 UTC.
  at INTEGER NOT NULL,
  event TEXT NOT NULL
    CHECK (event IN ('held', 'decided', 'expired', 'cancelled', 'closed', 'taken', 'released',
                     'would')),
  run_id BLOB NOT NULL,
  effect_key BLOB NOT NULL,  -- empty for cancelled and closed
  approved INTEGER NOT NULL CHECK (approved IN (0, 1)),
  -- decided and expired: the verdict; would: the one the rule would have given.
  verdict TEXT NOT NULL,
  -- 'line:IP:PORT' (a line-protocol peer), 'client:NAME' (a client that said hello),
  -- 'console:NAME' (an approver), 'expiry' or 'rule:NAME' (a rule).
  source BLOB NOT NULL,
  mac_verified INTEGER NOT NULL CHECK (mac_verified IN (0, 1)),
  reason BLOB NOT NULL,
  -- held: when the effect expires (milliseconds since 1970-01-01 UTC); NULL for never.
  deadline INTEGER,
  -- held, released and would: the effect's detail, compact JSON; NULL for none.
  detail TEXT
);
)sql", kRebuiltByStep5},
    // Step 6: the audit log also records each approval short of a rule's quorum, and
    // remembered grants made and revoked.
    {6, R"sql(
CREATE TABLE audit (
  -- Every decision and every hold, expiry, cancel, close and taken approval that
  -- changed something, every release to a client that said hello, with shadow rules
  -- every new effect a rule would have decided otherwise ('would'), every approval
  -- short of a rule's quorum ('approval_recorded'), and every grant made or revoked,
  -- kept for good, in seq order. Written in the transaction of the batch that holds
  -- the request's changes.
  seq INTEGER PRIMARY KEY,
  -- When it was decided: milliseconds since 1970-01-01 UTC.
  at INTEGER NOT NULL,
  event TEXT NOT NULL
    CHECK (event IN ('held', 'decided', 'expired', 'cancelled', 'closed', 'taken', 'released',
                     'would', 'approval_recorded', 'granted', 'revoked')),
  run_id BLOB NOT NULL,
  effect_key BLOB NOT NULL,  -- empty for cancelled, closed and revoked
  approved INTEGER NOT NULL CHECK (approved IN (0, 1)),
  -- decided and expired: the verdict; would: the one the rule would have given.
  verdict TEXT NOT NULL,
  -- 'line:IP:PORT' (a line-protocol peer), 'client:NAME' (a client that said hello),
  -- 'console:NAME' (an approver), 'expiry', 'rule:NAME' (a rule) or 'grant:ID' (a grant).
  source BLOB NOT NULL,
  mac_verified INTEGER NOT NULL CHECK (mac_verified IN (0, 1)),
  -- granted and revoked: 'grant:ID'.
  reason BLOB NOT NULL,
  -- held: when the effect expires (milliseconds since 1970-01-01 UTC); NULL for never.
  deadline INTEGER,
  -- the effect's detail, compact JSON; granted and revoked: what the grant covers;
  -- NULL for none.
  detail TEXT
);
)sql", kRebuiltByStep6},
    // Step 7: remembered grants.
    {7, R"sql(
CREATE TABLE grants (
  -- An approver's approval that releases, until it expires or is revoked, new effects
  -- its rule would hold that are like the one approved. Written in the transaction of
  -- the batch that made or revoked it; read back when the store opens.
  id TEXT PRIMARY KEY,
  rule TEXT NOT NULL,
  effect TEXT NOT NULL,  -- a glob of effect keys
  run BLOB NOT NULL,     -- the one run it covers; empty for any
  detail TEXT NOT NULL,  -- its conditions, a compact JSON object
  granted_by TEXT NOT NULL,
  granted_at INTEGER NOT NULL,  -- milliseconds since 1970-01-01 UTC
  expires_at INTEGER NOT NULL   -- likewise
) WITHOUT ROWID;
)sql"},
    // Step 8: what a released effect keeps: the attempt that took it, when, by whose
    // decision, the detail an approver changed, and what performing it produced; the
    // audit log's 'completed' entries.
    {8, R"sql(
CREATE TABLE releases (
  -- One row per effect an attempt took or a person approved (before its submitter
  -- takes it), until its run is closed; an approval never taken goes when its run is
  -- cancelled. Written in the transaction of the batch that decided it.
  run_id BLOB NOT NULL,
  effect_key BLOB NOT NULL,
  attempt BLOB NOT NULL,        -- the caller's name for the call that took it; empty: none
  released_at INTEGER,          -- milliseconds since 1970-01-01 UTC; NULL: approved, not taken
  decided_by BLOB NOT NULL,     -- an approver's name, 'rule:NAME', 'grant:ID', 'line:IP:PORT', 'client:NAME'
  result TEXT,                  -- what performing it produced, compact JSON; NULL until completed
  completed_at INTEGER,         -- likewise
  detail TEXT,                  -- the detail a person approved with changes; NULL: as submitted
  PRIMARY KEY (run_id, effect_key)
) WITHOUT ROWID;
CREATE TABLE audit (
  -- Every decision and every hold, expiry, cancel, close and taken approval that
  -- changed something, every release to a client that said hello, with shadow rules
  -- every new effect a rule would have decided otherwise ('would'), every approval
  -- short of a rule's quorum ('approval_recorded'), every grant made or revoked, and
  -- every result recorded ('completed'), kept for good, in seq order. Written in the
  -- transaction of the batch that holds the request's changes.
  seq INTEGER PRIMARY KEY,
  -- When it was decided: milliseconds since 1970-01-01 UTC.
  at INTEGER NOT NULL,
  event TEXT NOT NULL
    CHECK (event IN ('held', 'decided', 'expired', 'cancelled', 'closed', 'taken', 'released',
                     'would', 'approval_recorded', 'granted', 'revoked', 'completed')),
  run_id BLOB NOT NULL,
  effect_key BLOB NOT NULL,  -- empty for cancelled, closed and revoked
  approved INTEGER NOT NULL CHECK (approved IN (0, 1)),
  -- decided and expired: the verdict; would: the one the rule would have given.
  verdict TEXT NOT NULL,
  -- 'line:IP:PORT' (a line-protocol peer), 'client:NAME' (a client that said hello),
  -- 'console:NAME' (an approver), 'expiry', 'rule:NAME' (a rule) or 'grant:ID' (a grant).
  source BLOB NOT NULL,
  mac_verified INTEGER NOT NULL CHECK (mac_verified IN (0, 1)),
  -- granted and revoked: 'grant:ID'.
  reason BLOB NOT NULL,
  -- held: when the effect expires (milliseconds since 1970-01-01 UTC); NULL for never.
  deadline INTEGER,
  -- the effect's detail, compact JSON; granted and revoked: what the grant covers;
  -- completed: the result; NULL for none.
  detail TEXT
);
)sql", kRebuiltByStep8},
    // Step 9: an approver's edits. A held entry says what of its effect's detail an
    // approver may change (editable: a JSON array of JSON Pointers; NULL for nothing).
    // An approval's entry (decided, approval_recorded) and a taken one whose detail is
    // the detail as an approver changed it say so (edited = 1); the held entry keeps the
    // detail as submitted. A restart reads a waiting effect's edits back from these.
    {9, R"sql(
ALTER TABLE audit ADD COLUMN editable TEXT;
ALTER TABLE audit ADD COLUMN edited INTEGER NOT NULL DEFAULT 0 CHECK (edited IN (0, 1));
)sql"},
};

constexpr bool numbered_from_one() {
    for (std::size_t i = 0; i < std::size(kSteps); ++i) {
        if (kSteps[i].version != static_cast<int>(i) + 1) return false;
    }
    return true;
}
static_assert(numbered_from_one() && std::size(kSteps) == kStoreSchemaVersion,
              "the steps are numbered 1, 2, ... and the last is kStoreSchemaVersion");

// The version of a file this program upgrades (or this program's own), else nullopt.
std::optional<int> known_older_version(const std::string& version) {
    int number = 0;
    const auto [end, error] = std::from_chars(version.data(), version.data() + version.size(), number);
    if (error != std::errc() || end != version.data() + version.size() || number < 1 ||
        number > kStoreSchemaVersion) {
        return std::nullopt;
    }
    return number;
}

// Builds the tables anew from `create` (which creates them under their own names),
// keeping their rows, their indexes and any triggers an operator put on them; within
// the caller's transaction. The old tables are renamed aside first with the legacy
// rename, which leaves other tables' triggers and views naming them as they are, so
// that those find the new tables once they exist.
std::optional<Failure> rebuild_tables(OpenSteps& steps, std::span<const RebuiltTable> tables,
                                      const char* create) {
    std::string names;
    for (const RebuiltTable& table : tables) {
        names += (names.empty() ? "'" : ", '") + std::string(table.name) + "'";
    }
    // Automatic indexes (the primary keys) have no SQL and come with the new tables.
    const std::string attached_sql =
        "SELECT sql FROM sqlite_master WHERE type IN ('index', 'trigger') AND sql IS NOT NULL"
        " AND tbl_name IN (" + names + ")";
    auto attached = steps.query_texts(attached_sql.c_str());
    if (!attached) return std::move(attached).take_failure();
    std::string sql = "PRAGMA legacy_alter_table = ON;";
    for (const RebuiltTable& table : tables) {
        sql += "ALTER TABLE " + std::string(table.name) + " RENAME TO " + table.name + "_before;";
    }
    sql += "PRAGMA legacy_alter_table = OFF;";
    sql += create;
    for (const RebuiltTable& table : tables) {
        sql += "INSERT INTO " + std::string(table.name) + " (" + table.columns + ") SELECT " +
               table.columns + " FROM " + table.name + "_before;";
        sql += "DROP TABLE " + std::string(table.name) + "_before;";
    }
    for (const std::string& statement : attached.value()) sql += statement + ";";
    return steps.exec(sql.c_str());
}

std::optional<Failure> take_step(OpenSteps& steps, const SchemaStep& step) {
    if (step.rebuilt.empty()) return steps.exec(step.sql);
    return rebuild_tables(steps, step.rebuilt, step.sql);
}

}  // namespace

std::optional<Failure> check_application(OpenSteps& steps) {
    auto application = steps.query_text("PRAGMA application_id");
    if (!application) return std::move(application).take_failure();
    if (application.value() != std::to_string(kApplicationId)) {
        return steps.refuse("is not a latchwork-gate store (it holds another program's tables)");
    }
    return std::nullopt;
}

std::optional<Failure> check_version(OpenSteps& steps, const std::string& version) {
    if (version == std::to_string(kStoreSchemaVersion)) return std::nullopt;
    const std::string shown = version.empty() ? "none" : version;
    long long number = 0;
    const auto [end, error] = std::from_chars(version.data(), version.data() + version.size(), number);
    if (error == std::errc() && end == version.data() + version.size() &&
        number > kStoreSchemaVersion) {
        return steps.refuse("has schema version " + shown + ", newer than this program's " +
                            std::to_string(kStoreSchemaVersion) + ": use a newer latchwork-gate");
    }
    return steps.refuse("has schema version " + shown + ", which this program does not know");
}

std::optional<Failure> create_or_check_schema(OpenSteps& steps) {
    auto tables = steps.query_text("SELECT count(*) FROM sqlite_master");
    if (!tables) return std::move(tables).take_failure();
    int from = 0;
    if (tables.value() != "0") {
        if (auto failed = check_application(steps)) return failed;
        auto version = steps.query_text("SELECT max(version) FROM schema_version");
        if (!version) return std::move(version).take_failure();
        const std::optional<int> known = known_older_version(version.value());
        if (!known) return check_version(steps, version.value());
        from = *known;
    }
    for (const SchemaStep& step : std::span(kSteps).subspan(static_cast<std::size_t>(from))) {
        if (auto failed = take_step(steps, step)) return failed;
    }
    const std::string stamp =
        from == 0 ? "INSERT INTO schema_version (version) VALUES (" +
                        std::to_string(kStoreSchemaVersion) + ");" +
                        "PRAGMA application_id = " + std::to_string(kApplicationId)
                  : "UPDATE schema_version SET version = " + std::to_string(kStoreSchemaVersion);
    return steps.exec(stamp.c_str());
}

}  // namespace latchwork::server
