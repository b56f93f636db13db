// pg_batch.cpp: a batch of requests decided in one transaction of the shared store.
#include "server/store/postgres/pg_batch.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "gate/run_ledger.h"
#include "server/core/detail_edit.h"
#include "server/store/postgres/pg_arrays.h"
#include "server/store/postgres/pg_change_notice.h"
#include "server/core/state_change.h"
#include "support/test_hooks.h"

namespace latchwork::server {
namespace {

// The lock rows of the runs, in ascending order, so that two batches never wait for
// each other in a cycle. Only the gate's own role may lock them (advisory locks would
// be open to any login).
constexpr const char* kLockRuns =
    "SELECT count(*) FROM (SELECT slot FROM latchwork_run_locks WHERE slot = ANY($1::int4[])"
    " ORDER BY slot FOR UPDATE) AS locked";

// Kind 0: a flagged run (bit 0 cancelled, bit 1 closed); kind 1: a named effect,
// with its detail, rule and approvals so far while it waits, and what it keeps once a
// person approved it or an attempt took it (decided_by not null). Read after the runs'
// locks are taken, so a quorum's approvals are those of the transactions before.
constexpr const char* kLoad =
    "SELECT 0::int2, run_id, NULL::bytea, (cancelled::int + 2 * closed::int)::int2, NULL::text, NULL::text,"
    " NULL::text, NULL::bytea, NULL::int8, NULL::text, NULL::text, NULL::int8, NULL::text, NULL::text, NULL::text"
    " FROM latchwork_runs WHERE run_id = ANY($1::bytea[])"
    " UNION ALL"
    " SELECT 1::int2, e.run_id, e.effect_key, e.state, e.detail, e.rule, array_to_json(e.approvals)::text,"
    " e.attempt, coalesce(e.released_at, 0), e.decided_by, e.result, coalesce(e.completed_at, 0),"
    " e.released_detail, e.editable, e.edited"
    " FROM latchwork_effects AS e"
    " JOIN unnest($2::bytea[], $3::bytea[]) AS w(r, k) ON e.run_id = w.r AND e.effect_key = w.k";

// What released and approved effects keep, written after their rows (each row once a
// statement).
constexpr const char* kWriteReleases =
    "UPDATE latchwork_effects AS e SET attempt = w.a, released_at = nullif(w.ra, 0), decided_by = w.b,"
    " result = nullif(w.re, ''), completed_at = nullif(w.ca, 0), released_detail = nullif(w.d, '')"
    " FROM unnest($1::bytea[], $2::bytea[], $3::bytea[], $4::int8[], $5::text[], $6::text[], $7::int8[],"
    " $8::text[]) AS w(r, k, a, ra, b, re, ca, d) WHERE e.run_id = w.r AND e.effect_key = w.k";

// Flags only ever go from false to true, so the final ones are the union. A
// cancelled run loses its waiting effects (held or approved), a closed one all.
constexpr const char* kWriteRuns =
    "WITH flagged AS (INSERT INTO latchwork_runs (run_id, cancelled, closed)"
    " SELECT * FROM unnest($1::bytea[], $2::bool[], $3::bool[])"
    " ON CONFLICT (run_id) DO UPDATE SET cancelled = latchwork_runs.cancelled OR excluded.cancelled,"
    " closed = latchwork_runs.closed OR excluded.closed)"
    " DELETE FROM latchwork_effects WHERE run_id = ANY($1::bytea[])"
    " AND (state IN (0, 3) OR run_id = ANY($4::bytea[]))";

// The two sets are disjoint: an effect is either still held by the ledger or gone.
// A row that becomes pending is new (nothing else turns into pending): it takes its
// place in the order of holds, its hold time and its own deadline (a rule may give its
// holds their own timeout), which it keeps once approved. Its detail stays while it
// waits and goes once it is decided; its approvals (each a text[] literal) likewise.
// What of it may be edited, and the detail as edited, stay while it waits.
constexpr const char* kWriteEffects =
    "WITH gone AS (DELETE FROM latchwork_effects AS e USING unnest($4::bytea[], $5::bytea[]) AS w(r, k)"
    " WHERE e.run_id = w.r AND e.effect_key = w.k)"
    " INSERT INTO latchwork_effects (run_id, effect_key, state, hold_order, held_at, deadline,"
    " changed_at, detail, rule, approvals, editable, edited)"
    " SELECT r, k, s, CASE WHEN s = 0 THEN nextval('latchwork_hold_order') END,"
    " CASE WHEN s = 0 THEN to_timestamp($6::int8 / 1000.0) END,"
    " CASE WHEN s = 0 AND dl > 0 THEN to_timestamp(dl / 1000.0) END,"
    " to_timestamp($6::int8 / 1000.0), nullif(d, ''), nullif(ru, ''), ap::text[], nullif(ed, ''), nullif(ch, '')"
    " FROM unnest($1::bytea[], $2::bytea[], $3::int2[], $7::int8[], $8::text[], $9::text[], $10::text[],"
    " $11::text[], $12::text[])"
    " AS w(r, k, s, dl, d, ru, ap, ed, ch)"
    " ON CONFLICT (run_id, effect_key) DO UPDATE SET state = excluded.state,"
    " changed_at = excluded.changed_at, detail = excluded.detail, rule = excluded.rule,"
    " approvals = excluded.approvals, editable = excluded.editable, edited = excluded.edited";

constexpr const char* kWriteAudit =
    "INSERT INTO latchwork_audit (at, event, run_id, effect_key, approved, verdict, source,"
    " mac_verified, reason, deadline, detail, editable, edited)"
    " SELECT to_timestamp(a / 1000.0), e, r, k, ap, v, s, m, re,"
    " CASE WHEN d > 0 THEN to_timestamp(d / 1000.0) END, nullif(dt, ''), nullif(ed, ''), ch"
    " FROM unnest($1::int8[], $2::text[], $3::bytea[], $4::bytea[], $5::bool[], $6::text[],"
    " $7::text[], $8::bool[], $9::bytea[], $10::int8[], $11::text[], $12::text[], $13::bool[])"
    " AS t(a, e, r, k, ap, v, s, m, re, d, dt, ed, ch)";

// Told to the other servers at commit, once per batch that left entries: only who sent
// it and the transaction, whose committed entries the others read for themselves
// (pg_change_notice.h).
constexpr const char* kNotify =
    "SELECT pg_notify('latchwork', json_build_object('server', $1::text, 'xact', txid_current())::text)";

constexpr const char* kLiveGrants =
    "SELECT id, rule, effect, coalesce(run_id, ''::bytea), detail, granted_by,"
    " round(extract(epoch FROM granted_at) * 1000)::int8, round(extract(epoch FROM expires_at) * 1000)::int8"
    " FROM latchwork_grants WHERE expires_at > to_timestamp($1::int8 / 1000.0) AND ($2::text = '' OR rule = $2::text)"
    " ORDER BY granted_at, id";

constexpr const char* kWriteGrants =
    "INSERT INTO latchwork_grants (id, rule, effect, run_id, detail, granted_by, granted_at, expires_at)"
    " SELECT i, r, e, nullif(ru, ''::bytea), d, b, to_timestamp(ga / 1000.0), to_timestamp(ex / 1000.0)"
    " FROM unnest($1::text[], $2::text[], $3::text[], $4::bytea[], $5::text[], $6::text[], $7::int8[], $8::int8[])"
    " AS g(i, r, e, ru, d, b, ga, ex)";

// Revokes, and clears grants long expired.
constexpr const char* kRevokeGrants =
    "DELETE FROM latchwork_grants WHERE id = ANY($1::text[]) OR expires_at <= now() - interval '1 day'";

constexpr const char* kCounts =
    "SELECT count(*) FILTER (WHERE state = 0), count(*) FROM latchwork_effects";

// Prepared once per connection: parsed and planned once, not once per batch.
struct PreparedStatement {
    const char* name;
    const char* sql;
    int parameters;
};
constexpr PreparedStatement kPrepared[] = {
    {"latchwork_lock_runs", kLockRuns, 1},
    {"latchwork_load", kLoad, 3},
    {"latchwork_write_runs", kWriteRuns, 4},
    {"latchwork_write_effects", kWriteEffects, 12},
    {"latchwork_write_audit", kWriteAudit, 13},
    {"latchwork_write_releases", kWriteReleases, 8},
    {"latchwork_notify", kNotify, 1},
    {"latchwork_counts", kCounts, 0},
};

std::optional<StatementFailure> prepare(PgConnection& connection) {
    if (connection.prepared()) return std::nullopt;
    for (const PreparedStatement& statement : kPrepared) {
        Rows prepared = connection.prepare(statement.name, statement.sql, statement.parameters);
        if (!prepared.ok()) return prepared.failure();
    }
    connection.set_prepared();
    return std::nullopt;
}

std::optional<StatementFailure> first_failure(const std::vector<Rows>& results) {
    for (const Rows& rows : results) {
        if (!rows.ok()) return rows.failure();
    }
    return std::nullopt;
}

}  // namespace

std::int32_t run_lock_slot(std::string_view run_id) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(run_lock_key(run_id)) % kRunLockSlots);
}

std::int32_t run_lock_key(std::string_view run_id) noexcept {
    // FNV-1a: every server computes the same key from the same bytes. Two runs that
    // share a key merely take turns.
    std::uint32_t hash = 2166136261u;
    for (const char c : run_id) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return static_cast<std::int32_t>(hash);
}


std::optional<StatementFailure> prepare_batch_statements(PgConnection& connection) { return prepare(connection); }

Statement live_grants_statement(std::int64_t now_ms, std::string_view rule) {
    return Statement{nullptr, kLiveGrants, Parameters().add(std::to_string(now_ms)).add(std::string(rule))};
}

std::vector<Grant> grants_from_rows(const Rows& rows) {
    std::vector<Grant> grants;
    for (int row = 0; row < rows.count(); ++row) {
        Grant grant;
        grant.id = std::string(rows.bytes(row, 0));
        grant.rule = std::string(rows.bytes(row, 1));
        grant.effect = std::string(rows.bytes(row, 2));
        grant.run = std::string(rows.bytes(row, 3));
        grant.detail = std::string(rows.bytes(row, 4));
        grant.granted_by = std::string(rows.bytes(row, 5));
        grant.granted_at_ms = rows.integer(row, 6);
        grant.expires_at_ms = rows.integer(row, 7);
        grants.push_back(std::move(grant));
    }
    return grants;
}

std::optional<std::vector<Grant>> PgBatchTransaction::live_grants(std::string_view rule, std::int64_t now_ms) {
    std::vector<Statement> statements = writes();
    statements.push_back(live_grants_statement(now_ms, rule));
    std::vector<Rows> results = connection_.run_pipeline(statements);
    if ((count_failure_ = first_failure(results))) return std::nullopt;
    return grants_from_rows(results.back());
}

std::optional<StatementFailure> PgBatchTransaction::begin_and_load(std::span<const BatchRequest> batch) {
    std::vector<std::int64_t> keys;
    std::set<std::string_view> runs;
    std::set<std::pair<std::string_view, std::string_view>> effects;
    for (const BatchRequest& item : batch) {
        if (!names_run(item.request.op)) continue;
        keys.push_back(run_lock_slot(item.request.run_id));
        runs.insert(item.request.run_id);
        if (names_effect(item.request.op)) effects.emplace(item.request.run_id, item.request.effect_key);
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<Statement> statements;
    statements.push_back(Statement{nullptr, "BEGIN", {}});
    if (!runs.empty()) {
        std::vector<std::string_view> run_ids(runs.begin(), runs.end());
        std::vector<std::string_view> effect_runs;
        std::vector<std::string_view> effect_keys;
        for (const auto& [run_id, effect_key] : effects) {
            effect_runs.push_back(run_id);
            effect_keys.push_back(effect_key);
        }
        statements.push_back(Statement{"latchwork_lock_runs", nullptr, Parameters().add(integer_array(keys))});
        statements.push_back(Statement{"latchwork_load", nullptr,
                                       Parameters()
                                           .add(bytea_array(run_ids))
                                           .add(bytea_array(effect_runs))
                                           .add(bytea_array(effect_keys))});
    }
    std::vector<Rows> results = connection_.run_pipeline(statements);
    if (auto failed = first_failure(results)) return failed;
    if (runs.empty()) return std::nullopt;
    return read_loaded(results.back());
}

std::optional<StatementFailure> PgBatchTransaction::read_loaded(const Rows& rows) {
    // Flags first: they are what an effect of the run is decided against.
    for (int row = 0; row < rows.count(); ++row) {
        if (rows.integer(row, 0) != 0) continue;
        RunRecord& run = ledger_.run(rows.bytes(row, 1));
        const std::int64_t flags = rows.integer(row, 3);
        run.cancelled = (flags & 1) != 0;
        run.closed = (flags & 2) != 0;
    }
    for (int row = 0; row < rows.count(); ++row) {
        if (rows.integer(row, 0) != 1) continue;
        const std::int64_t state = rows.integer(row, 3);
        if (state < 0 || state > 3) {
            return StatementFailure{FailureKind::statement,
                                    "an effect row holds the unknown state " + std::to_string(state)};
        }
        ledger_.add_effect(ledger_.run(rows.bytes(row, 1)), rows.bytes(row, 2), static_cast<EffectState>(state));
        if (!rows.is_null(row, 4)) details_[{std::string(rows.bytes(row, 1)), std::string(rows.bytes(row, 2))}] = rows.bytes(row, 4);
        if (!rows.is_null(row, 5)) rules_[{std::string(rows.bytes(row, 1)), std::string(rows.bytes(row, 2))}] = rows.bytes(row, 5);
        if (std::vector<std::string> approvals = strings_of_json_array(rows.bytes(row, 6)); !approvals.empty()) {
            approvals_[{std::string(rows.bytes(row, 1)), std::string(rows.bytes(row, 2))}] = std::move(approvals);
        }
        if (!rows.is_null(row, 9)) {
            KeptRelease kept{std::string(rows.bytes(row, 1)), std::string(rows.bytes(row, 2)),
                             std::string(rows.bytes(row, 7)), rows.integer(row, 8), std::string(rows.bytes(row, 9)),
                             std::string(rows.bytes(row, 10)), rows.integer(row, 11),
                             rows.is_null(row, 12) ? std::string() : std::string(rows.bytes(row, 12))};
            std::pair<std::string, std::string> key{kept.run_id, kept.effect_key};
            releases_.insert_or_assign(std::move(key), std::move(kept));
        }
        if (!rows.is_null(row, 13)) {
            editable_[{std::string(rows.bytes(row, 1)), std::string(rows.bytes(row, 2))}] =
                editable_from_text(rows.bytes(row, 13));
        }
        if (!rows.is_null(row, 14)) edited_[{std::string(rows.bytes(row, 1)), std::string(rows.bytes(row, 2))}] = rows.bytes(row, 14);
    }
    return std::nullopt;
}

void PgBatchTransaction::decided(const BatchRequest& item) {
    now_ms_ = item.at_ms;
    if (item.granted) granted_.push_back(*item.granted);
    if (item.revoked) revoked_.push_back(*item.revoked);
    if (item.kept) {
        std::pair<std::string, std::string> key{item.kept->run_id, item.kept->effect_key};
        kept_unwritten_.insert(key);
        releases_.insert_or_assign(std::move(key), *item.kept);
    }
    changes_.insert(changes_.end(), item.changes.begin(), item.changes.end());
    for (const StateChange& change : item.changes) {
        if (change.kind == StateChange::Kind::effect_state && change.state == EffectState::pending) {
            details_[{change.run_id, change.effect_key}] = change.detail;
            rules_[{change.run_id, change.effect_key}] = change.rule;
            deadlines_[{change.run_id, change.effect_key}] = item.deadline_ms;
            approvals_.erase({change.run_id, change.effect_key});
            editable_[{change.run_id, change.effect_key}] = change.editable;
            edited_.erase({change.run_id, change.effect_key});
        } else if (change.kind == StateChange::Kind::approval_recorded) {
            approvals_[{change.run_id, change.effect_key}] = change.approvals;
            edited_[{change.run_id, change.effect_key}] = change.edited;
        } else if (change.kind == StateChange::Kind::effect_state && change.state == EffectState::approved) {
            edited_[{change.run_id, change.effect_key}] = change.edited;
        }
    }
}

std::optional<StatementFailure> PgBatchTransaction::write_and_commit(std::span<const AuditEntry> audit) {
    std::vector<Statement> statements = writes();
    if (!audit.empty()) statements.push_back(audit_statement(audit));
    if (std::optional<Statement> notify = notify_statement(audit)) statements.push_back(std::move(*notify));
    if (const char* hold = test_hooks::commit_hold_file()) {
        // Test builds only: the writes made and their seqs taken, the commit held back.
        if (auto failed = first_failure(connection_.run_pipeline(statements))) return failed;
        test_hooks::hold_commit(hold);
        statements.clear();
    }
    statements.push_back(Statement{nullptr, "COMMIT", {}});
    std::optional<StatementFailure> failed = first_failure(connection_.run_pipeline(statements));
    if (failed && failed->kind == FailureKind::connection) failed->may_have_committed = true;
    return failed;
}

// Loaded with the rows of the batch's effects, or made by its own holds.
std::string_view PgBatchTransaction::detail_of(std::string_view run_id, std::string_view effect_key) {
    const auto found = details_.find({std::string(run_id), std::string(effect_key)});
    return found == details_.end() ? std::string_view() : std::string_view(found->second);
}

std::string_view PgBatchTransaction::rule_of(std::string_view run_id, std::string_view effect_key) {
    const auto found = rules_.find({std::string(run_id), std::string(effect_key)});
    return found == rules_.end() ? std::string_view() : std::string_view(found->second);
}

const KeptRelease* PgBatchTransaction::release_of(std::string_view run_id, std::string_view effect_key) {
    const auto found = releases_.find({std::string(run_id), std::string(effect_key)});
    return found == releases_.end() ? nullptr : &found->second;
}

std::span<const std::string> PgBatchTransaction::editable_of(std::string_view run_id, std::string_view effect_key) {
    const auto found = editable_.find({std::string(run_id), std::string(effect_key)});
    return found == editable_.end() ? std::span<const std::string>() : std::span<const std::string>(found->second);
}

std::string_view PgBatchTransaction::edited_of(std::string_view run_id, std::string_view effect_key) {
    const auto found = edited_.find({std::string(run_id), std::string(effect_key)});
    return found == edited_.end() ? std::string_view() : std::string_view(found->second);
}

std::span<const std::string> PgBatchTransaction::approvals_of(std::string_view run_id, std::string_view effect_key) {
    const auto found = approvals_.find({std::string(run_id), std::string(effect_key)});
    return found == approvals_.end() ? std::span<const std::string>() : std::span<const std::string>(found->second);
}

// One notification for the batch, sent at commit, when a request of it changed
// something and left an entry: what other servers' waiters and pages look for.
std::optional<Statement> PgBatchTransaction::notify_statement(std::span<const AuditEntry> audit) const {
    const bool told = std::any_of(audit.begin(), audit.end(), [](const AuditEntry& entry) {
        if (entry.event == AuditEvent::released || entry.event == AuditEvent::would ||
            entry.event == AuditEvent::granted || entry.event == AuditEvent::revoked) {
            return false;
        }
        return entry.event != AuditEvent::decided || entry.verdict == "release" || entry.verdict == "approved" ||
               entry.verdict == "refused_rejected";
    });
    if (!told) return std::nullopt;
    return Statement{"latchwork_notify", nullptr, Parameters().add(std::string(server_))};
}

// The totals span every run, most of them not in the scratch ledger: they are counted
// in the database, after this batch's changes so far are written.
std::optional<std::uint64_t> PgBatchTransaction::count(Operation op) {
    std::vector<Statement> statements = writes();
    statements.push_back(Statement{"latchwork_counts", nullptr, {}});
    std::vector<Rows> results = connection_.run_pipeline(statements);
    if ((count_failure_ = first_failure(results))) return std::nullopt;
    const int column = op == Operation::pending_count ? 0 : 1;
    return static_cast<std::uint64_t>(results.back().integer(0, column));
}

Statement PgBatchTransaction::audit_statement(std::span<const AuditEntry> audit) const {
    std::vector<std::int64_t> at;
    std::vector<std::string_view> events;
    std::vector<std::string_view> runs;
    std::vector<std::string_view> keys;
    std::vector<bool> approved;
    std::vector<std::string_view> verdicts;
    std::vector<std::string_view> sources;
    std::vector<bool> verified;
    std::vector<std::string_view> reasons;
    std::vector<std::int64_t> deadlines;
    std::vector<std::string_view> details;
    std::vector<std::string_view> editables;
    std::vector<bool> edited;
    for (const AuditEntry& entry : audit) {
        editables.push_back(entry.editable);
        edited.push_back(entry.edited);
        at.push_back(entry.at_ms);
        events.push_back(audit_event_name(entry.event));
        runs.push_back(entry.run_id);
        keys.push_back(entry.effect_key);
        approved.push_back(entry.approved);
        verdicts.push_back(entry.verdict);
        sources.push_back(entry.source);
        verified.push_back(entry.mac_verified);
        reasons.push_back(entry.reason);
        deadlines.push_back(entry.deadline_ms);
        details.push_back(entry.detail);
    }
    return Statement{"latchwork_write_audit", nullptr,
                     Parameters()
                         .add(integer_array(at))
                         .add(text_array(events))
                         .add(bytea_array(runs))
                         .add(bytea_array(keys))
                         .add(bool_array(approved))
                         .add(text_array(verdicts))
                         .add(text_array(sources))
                         .add(bool_array(verified))
                         .add(bytea_array(reasons))
                         .add(integer_array(deadlines))
                         .add(text_array(details))
                         .add(text_array(editables))
                         .add(bool_array(edited))};
}

// The statements that write what the changes since the last call did. The scratch
// ledger holds the final state of every effect they touched, so each row is
// written once, however many requests of the batch named it. Flagged runs go
// first: dropping a cancelled run's pending rows must not undo a later write.
std::vector<Statement> PgBatchTransaction::writes() {
    std::vector<Statement> statements;
    std::set<std::string_view> flagged_runs;
    std::set<std::pair<std::string_view, std::string_view>> touched;
    for (const StateChange& change : std::span<const StateChange>(changes_).subspan(written_)) {
        if (change.kind == StateChange::Kind::effect_state ||
            change.kind == StateChange::Kind::approval_recorded) {
            touched.emplace(change.run_id, change.effect_key);
        } else {
            flagged_runs.insert(change.run_id);
        }
    }
    if (!flagged_runs.empty()) {
        std::vector<std::string_view> ids;
        std::vector<std::string_view> closed_ids;
        std::vector<bool> cancelled;
        std::vector<bool> closed;
        for (std::string_view run_id : flagged_runs) {
            const RunRecord* run = ledger_.find_run(run_id);
            ids.push_back(run_id);
            cancelled.push_back(run->cancelled);
            closed.push_back(run->closed);
            if (run->closed) closed_ids.push_back(run_id);
        }
        statements.push_back(Statement{"latchwork_write_runs", nullptr,
                                       Parameters()
                                           .add(bytea_array(ids))
                                           .add(bool_array(cancelled))
                                           .add(bool_array(closed))
                                           .add(bytea_array(closed_ids))});
    }
    if (!touched.empty()) {
        std::vector<std::string_view> kept_runs;
        std::vector<std::string_view> kept_keys;
        std::vector<std::int64_t> kept_states;
        std::vector<std::string_view> kept_details;  // "" once decided
        std::vector<std::string_view> kept_rules;    // likewise
        std::vector<std::int64_t> kept_deadlines;    // a new hold's; 0 for the rest
        std::vector<std::string> kept_approvals;     // text[] literals: "{}" unless pending
        std::vector<std::string> kept_editable;      // JSON arrays; "" for none, or once decided
        std::vector<std::string_view> kept_edited;   // "" unless changed by an approver
        std::vector<std::string_view> gone_runs;
        std::vector<std::string_view> gone_keys;
        for (const auto& [run_id, effect_key] : touched) {
            const RunRecord* run = ledger_.find_run(run_id);
            const EffectKey* effect = run == nullptr ? nullptr : run->effects.find(effect_key);
            if (effect != nullptr) {
                kept_runs.push_back(run_id);
                kept_keys.push_back(effect_key);
                const EffectState state = state_of(*effect);
                kept_states.push_back(static_cast<std::int64_t>(state));
                kept_details.push_back(is_waiting(state) ? detail_of(run_id, effect_key)
                                                         : std::string_view());
                kept_rules.push_back(is_waiting(state) ? rule_of(run_id, effect_key) : std::string_view());
                const auto deadline = deadlines_.find({std::string(run_id), std::string(effect_key)});
                kept_deadlines.push_back(state == EffectState::pending && deadline != deadlines_.end()
                                             ? deadline->second
                                             : 0);
                std::vector<std::string_view> approvals;
                if (state == EffectState::pending) {
                    for (const std::string& name : approvals_of(run_id, effect_key)) approvals.push_back(name);
                }
                kept_approvals.push_back(text_array(approvals));
                kept_editable.push_back(is_waiting(state) ? editable_text(editable_of(run_id, effect_key))
                                                          : std::string());
                kept_edited.push_back(is_waiting(state) ? edited_of(run_id, effect_key) : std::string_view());
            } else {
                gone_runs.push_back(run_id);
                gone_keys.push_back(effect_key);
            }
        }
        statements.push_back(Statement{"latchwork_write_effects", nullptr,
                                       Parameters()
                                           .add(bytea_array(kept_runs))
                                           .add(bytea_array(kept_keys))
                                           .add(integer_array(kept_states))
                                           .add(bytea_array(gone_runs))
                                           .add(bytea_array(gone_keys))
                                           .add(std::to_string(now_ms_))
                                           .add(integer_array(kept_deadlines))
                                           .add(text_array(kept_details))
                                           .add(text_array(kept_rules))
                                           .add(text_array(std::vector<std::string_view>(kept_approvals.begin(),
                                                                                          kept_approvals.end())))
                                           .add(text_array(std::vector<std::string_view>(kept_editable.begin(),
                                                                                          kept_editable.end())))
                                           .add(text_array(kept_edited))});
    }
    if (!kept_unwritten_.empty()) {
        std::vector<std::string_view> runs, keys, attempts, by, results, details;
        std::vector<std::int64_t> released, completed;
        for (const auto& key : kept_unwritten_) {
            const KeptRelease& kept = releases_.at(key);
            runs.push_back(kept.run_id);
            keys.push_back(kept.effect_key);
            attempts.push_back(kept.attempt);
            released.push_back(kept.released_at_ms);
            by.push_back(kept.decided_by);
            results.push_back(kept.result);
            completed.push_back(kept.completed_at_ms);
            details.push_back(kept.detail);
        }
        statements.push_back(Statement{"latchwork_write_releases", nullptr,
                                       Parameters()
                                           .add(bytea_array(runs))
                                           .add(bytea_array(keys))
                                           .add(bytea_array(attempts))
                                           .add(integer_array(released))
                                           .add(text_array(by))
                                           .add(text_array(results))
                                           .add(integer_array(completed))
                                           .add(text_array(details))});
        kept_unwritten_.clear();
    }
    // Whenever grants are written, those long expired go: the table holds the live
    // grants and those of the last day, however many were ever made.
    const bool grants_written = !granted_.empty() || !revoked_.empty();
    if (!granted_.empty()) {
        std::vector<std::string_view> ids, rules, effects, runs, details, by;
        std::vector<std::int64_t> at, until;
        for (const Grant& grant : granted_) {
            ids.push_back(grant.id);
            rules.push_back(grant.rule);
            effects.push_back(grant.effect);
            runs.push_back(grant.run);
            details.push_back(grant.detail);
            by.push_back(grant.granted_by);
            at.push_back(grant.granted_at_ms);
            until.push_back(grant.expires_at_ms);
        }
        statements.push_back(Statement{nullptr, kWriteGrants,
                                       Parameters()
                                           .add(text_array(ids))
                                           .add(text_array(rules))
                                           .add(text_array(effects))
                                           .add(bytea_array(runs))
                                           .add(text_array(details))
                                           .add(text_array(by))
                                           .add(integer_array(at))
                                           .add(integer_array(until))});
        granted_.clear();
    }
    if (grants_written) {
        std::vector<std::string_view> ids(revoked_.begin(), revoked_.end());
        statements.push_back(Statement{nullptr, kRevokeGrants, Parameters().add(text_array(ids))});
        revoked_.clear();
    }
    written_ = changes_.size();
    return statements;
}


}  // namespace latchwork::server
