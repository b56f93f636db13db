// pg_schema.cpp: the tables of the shared store, created and upgraded by `migrate`.
#include "server/store/postgres/pg_schema.h"

#include <array>
#include <optional>
#include <string>

namespace latchwork::server {
namespace {

// Step N takes a database at version N-1 to version N. A step, once released, is
// never edited: databases out there are at its version.
constexpr std::array<const char*, kSchemaVersion> kSteps = {
    // 1: the gate's state and its audit log. A run's row exists once it is flagged.
    // An effect's row holds its state (0 pending, 1 released, 2 rejected); while it
    // is pending, its place in the order of holds, when it was held and until when
    // it may wait. The audit log keeps every decision and every change of a run.
    R"sql(
CREATE TABLE latchwork_runs (
    run_id bytea PRIMARY KEY,
    cancelled boolean NOT NULL DEFAULT false,
    closed boolean NOT NULL DEFAULT false
);
CREATE SEQUENCE latchwork_hold_order;
CREATE TABLE latchwork_effects (
    run_id bytea NOT NULL,
    effect_key bytea NOT NULL,
    state smallint NOT NULL CHECK (state BETWEEN 0 AND 2),
    hold_order bigint,
    held_at timestamptz,
    deadline timestamptz,
    changed_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (run_id, effect_key)
);
CREATE INDEX latchwork_effects_held ON latchwork_effects (hold_order) WHERE state = 0;
CREATE INDEX latchwork_effects_deadlines ON latchwork_effects (deadline)
    WHERE state = 0 AND deadline IS NOT NULL;
CREATE TABLE latchwork_audit (
    seq bigserial PRIMARY KEY,
    at timestamptz NOT NULL,
    event text NOT NULL,
    run_id bytea NOT NULL,
    effect_key bytea NOT NULL,
    approved boolean NOT NULL,
    verdict text NOT NULL,
    source text NOT NULL,
    mac_verified boolean NOT NULL,
    reason bytea NOT NULL,
    deadline timestamptz
);
CREATE INDEX latchwork_audit_run ON latchwork_audit (run_id, seq);
)sql",
    // 2: approvals handed to the submitter, and details. State 3 is approved: a person
    // approved the effect, its next submit takes the release. An approved effect keeps
    // its place in the order of holds, and waits without a deadline (the deadline
    // index stays on pending rows). `detail` is what the submitter said the effect is,
    // compact JSON kept as text so it comes back byte for byte; NULL for none. The
    // audit log keeps a held entry's detail.
    R"sql(
ALTER TABLE latchwork_effects DROP CONSTRAINT latchwork_effects_state_check;
ALTER TABLE latchwork_effects ADD CONSTRAINT latchwork_effects_state_check
    CHECK (state BETWEEN 0 AND 3);
ALTER TABLE latchwork_effects ADD COLUMN detail text;
CREATE INDEX latchwork_effects_waiting ON latchwork_effects (hold_order) WHERE state IN (0, 3);
ALTER TABLE latchwork_audit ADD COLUMN detail text;
)sql",
    // 3: locks and notices only the gate's own role can use. Advisory locks are open to
    // every login, so a stranger could stall a run, or a webhook target, by taking one.
    // A batch now locks rows of latchwork_run_locks instead, one per 16-bit hash of a run
    // id (two runs that share a row merely take turns); a server delivering to a webhook
    // target holds a lease on its cursor row, renewed while it delivers. Every audit
    // entry keeps the transaction that wrote it, so a change notice need carry nothing
    // but that number: the servers that hear it read the committed entries themselves.
    R"sql(
CREATE TABLE latchwork_run_locks (slot integer PRIMARY KEY);
INSERT INTO latchwork_run_locks SELECT generate_series(0, 65535);
CREATE TABLE IF NOT EXISTS latchwork_notify_cursor (target text PRIMARY KEY, seq bigint NOT NULL);
ALTER TABLE latchwork_notify_cursor ADD COLUMN owner text, ADD COLUMN lease_until timestamptz;
ALTER TABLE latchwork_audit ADD COLUMN xact bigint;
ALTER TABLE latchwork_audit ALTER COLUMN xact SET DEFAULT txid_current();
CREATE INDEX latchwork_audit_xact ON latchwork_audit (xact) WHERE xact IS NOT NULL;
)sql",
    // Step 4: the rule that held a waiting effect, if one did: only people decide it.
    R"sql(
ALTER TABLE latchwork_effects ADD COLUMN rule text;
)sql",
    // Step 5: each live server's rules, so that servers deciding by different files are
    // seen: a server says which rules it serves every few seconds (its row's seen_at).
    R"sql(
CREATE TABLE latchwork_servers (
    server_id text PRIMARY KEY,
    rules_digest text NOT NULL,
    shadow boolean NOT NULL,
    seen_at timestamptz NOT NULL
);
)sql",
    // Step 6: who approved a pending effect so far, when its rule asks for more than one
    // approval; written with the effect in the batch that holds its run's lock.
    R"sql(
ALTER TABLE latchwork_effects ADD COLUMN approvals text[] NOT NULL DEFAULT '{}';
)sql",
    // Step 7: remembered grants. An approver's approval that releases, until it
    // expires or is revoked, new effects its rule would hold that are like the one
    // approved: whose key matches `effect` (a glob), of `run_id` when it names one, whose
    // detail meets `detail` (conditions, compact JSON). Written by the batch that made
    // or revoked it; read by each batch that decides a new effect the rule holds.
    R"sql(
CREATE TABLE latchwork_grants (
    id text PRIMARY KEY,
    rule text NOT NULL,
    effect text NOT NULL,
    run_id bytea,
    detail text NOT NULL,
    granted_by text NOT NULL,
    granted_at timestamptz NOT NULL,
    expires_at timestamptz NOT NULL
);
CREATE INDEX latchwork_grants_rule ON latchwork_grants (rule, expires_at);
)sql",
    // Step 8: what an effect keeps once a person approved it or an attempt took its
    // release: the attempt (the caller's name for one logical call), when it was
    // released (Unix ms), by whose decision, the detail an approver changed that went
    // with the release (`released_detail`), and what performing it produced (compact
    // JSON) and when. Written with the effect's row under its run's lock; it goes with
    // the row when the run is closed.
    R"sql(
ALTER TABLE latchwork_effects ADD COLUMN attempt bytea, ADD COLUMN released_at bigint,
    ADD COLUMN decided_by text, ADD COLUMN result text, ADD COLUMN completed_at bigint,
    ADD COLUMN released_detail text;
)sql",
    // Step 9: an approver's edits. A waiting effect keeps what of its detail an approver
    // may change (`editable`, a JSON array of JSON Pointers) and the detail as an
    // approver changed it (`edited`; `detail` stays as submitted). An audit entry says
    // whether its detail is an approver's change (`edited`), a held one what was editable.
    R"sql(
ALTER TABLE latchwork_effects ADD COLUMN editable text, ADD COLUMN edited text;
ALTER TABLE latchwork_audit ADD COLUMN editable text, ADD COLUMN edited boolean NOT NULL DEFAULT false;
)sql",
};

// Migrations serialise on this advisory lock (the class of every lock latchwork
// takes, object 0), so two started at once cannot both create the tables.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(1819566967, 0)";

std::string missing_message() {
    return "the database has no latchwork tables; run \"latchwork-gate migrate --store URL\" first";
}

// The version the database is at: 0 for none. Inside a transaction, or not.
Result<int> schema_version(PgConnection& connection) {
    Rows exists = connection.run("SELECT to_regclass('latchwork_schema') IS NOT NULL");
    if (!exists.ok()) return Failure{exists.failure().message};
    if (!exists.boolean(0, 0)) return 0;
    Rows version = connection.run("SELECT coalesce(max(version), 0)::int4 FROM latchwork_schema");
    if (!version.ok()) return Failure{version.failure().message};
    return static_cast<int>(version.integer(0, 0));
}

std::optional<Failure> run_or_fail(PgConnection& connection, const char* sql) {
    Rows done = connection.run_script(sql);
    if (done.ok()) return std::nullopt;
    return Failure{done.failure().message};
}

}  // namespace

Result<int> migrate_schema(PgConnection& connection) {
    if (auto failed = run_or_fail(connection, "BEGIN")) return std::move(*failed);
    auto abandon = [&](Failure failure) -> Result<int> {
        (void)connection.run_script("ROLLBACK");
        return failure;
    };
    if (auto failed = run_or_fail(connection, kMigrationLock)) return abandon(std::move(*failed));
    if (auto failed = run_or_fail(connection,
                                  "CREATE TABLE IF NOT EXISTS latchwork_schema (version integer NOT NULL)")) {
        return abandon(std::move(*failed));
    }
    Result<int> at = schema_version(connection);
    if (!at) return abandon(std::move(at).take_failure());
    const int from = at.value();
    if (from > kSchemaVersion) {
        return abandon(Failure{"the database's latchwork schema is at version " +
                               std::to_string(from) + ", newer than this latchwork-gate knows (" +
                               std::to_string(kSchemaVersion) + "); use a newer latchwork-gate"});
    }
    for (int step = from + 1; step <= kSchemaVersion; ++step) {
        if (auto failed = run_or_fail(connection, kSteps[static_cast<std::size_t>(step - 1)])) {
            return abandon(Failure{"upgrading to version " + std::to_string(step) + ": " +
                                   failed->message});
        }
    }
    const std::string stamp = "DELETE FROM latchwork_schema; INSERT INTO latchwork_schema VALUES (" +
                              std::to_string(kSchemaVersion) + ")";
    if (auto failed = run_or_fail(connection, stamp.c_str())) return abandon(std::move(*failed));
    if (auto failed = run_or_fail(connection, "COMMIT")) return std::move(*failed);
    return kSchemaVersion;
}

Result<std::monostate> check_schema(PgConnection& connection) {
    Result<int> at = schema_version(connection);
    if (!at) return std::move(at).take_failure();
    const int version = at.value();
    if (version == 0) return Failure{missing_message()};
    if (version < kSchemaVersion) {
        return Failure{"the database's latchwork schema is at version " + std::to_string(version) +
                       ", older than this latchwork-gate's " + std::to_string(kSchemaVersion) +
                       "; run \"latchwork-gate migrate --store URL\" first"};
    }
    if (version > kSchemaVersion) {
        return Failure{"the database's latchwork schema is at version " + std::to_string(version) +
                       ", newer than this latchwork-gate knows (" + std::to_string(kSchemaVersion) +
                       "); use a newer latchwork-gate"};
    }
    return std::monostate{};
}

}  // namespace latchwork::server
