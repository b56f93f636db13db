// pg_reads.cpp: what the console and `latchwork-gate log` read from a shared store.
#include "server/store/postgres/pg_reads.h"

#include <algorithm>
#include <limits>

#include "server/core/detail_edit.h"
#include "server/store/postgres/pg_arrays.h"

namespace latchwork::server {
namespace {

// Milliseconds since 1970, exact: extract() gives a numeric.
#define LATCHWORK_MS(column) "coalesce((extract(epoch FROM " column ") * 1000)::int8, 0)"

// The columns audit_entries_of() reads, in its order.
#define LATCHWORK_AUDIT_COLUMNS_BUT_DETAIL                                                     \
    "seq, " LATCHWORK_MS("at") ", event, run_id, effect_key, approved, verdict, source,"        \
    " mac_verified, reason, " LATCHWORK_MS("deadline")
#define LATCHWORK_AUDIT_COLUMNS \
    LATCHWORK_AUDIT_COLUMNS_BUT_DETAIL ", coalesce(detail, ''), coalesce(editable, ''), edited"

std::vector<AuditEntry> audit_entries_of(const Rows& rows) {
    std::vector<AuditEntry> entries;
    entries.reserve(static_cast<std::size_t>(rows.count()));
    for (int row = 0; row < rows.count(); ++row) {
        AuditEntry entry;
        entry.seq = static_cast<std::uint64_t>(rows.integer(row, 0));
        entry.at_ms = rows.integer(row, 1);
        entry.event = audit_event_from_name(rows.bytes(row, 2)).value_or(AuditEvent::decided);
        entry.run_id = std::string(rows.bytes(row, 3));
        entry.effect_key = std::string(rows.bytes(row, 4));
        entry.approved = rows.boolean(row, 5);
        entry.verdict = std::string(rows.bytes(row, 6));
        entry.source = std::string(rows.bytes(row, 7));
        entry.mac_verified = rows.boolean(row, 8);
        entry.reason = std::string(rows.bytes(row, 9));
        entry.deadline_ms = rows.integer(row, 10);
        entry.detail = std::string(rows.bytes(row, 11));
        entry.editable = std::string(rows.bytes(row, 12));
        entry.edited = rows.boolean(row, 13);
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace

Result<std::vector<AuditEntry>> select_audit(PgConnection& connection, const AuditQuery& query) {
#define LATCHWORK_AUDIT_SELECT                                                                 \
    "SELECT " LATCHWORK_AUDIT_COLUMNS " FROM latchwork_audit"                                    \
    " WHERE ($1::bytea IS NULL OR run_id = $1::bytea) AND seq > $2::int8"                        \
    " AND ($3::int8 = 0 OR seq < $3::int8)"                                                      \
    " AND ($5::bytea IS NULL OR effect_key = $5::bytea)"                                         \
    " AND ($6::int8[] IS NULL OR seq = ANY($6::int8[]))"
    // LIMIT NULL is no limit: the whole log for `latchwork-gate log`.
    static constexpr const char* kOldestFirst = LATCHWORK_AUDIT_SELECT " ORDER BY seq LIMIT $4::int8";
    static constexpr const char* kNewestFirst = LATCHWORK_AUDIT_SELECT " ORDER BY seq DESC LIMIT $4::int8";
#undef LATCHWORK_AUDIT_SELECT
    Parameters parameters;
    if (query.run) {
        parameters.add(bytea_text(*query.run));
    } else {
        parameters.add_null();  // every run
    }
    parameters.add(std::to_string(query.after)).add(std::to_string(query.before));
    if (query.limit >= static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max())) {
        parameters.add_null();
    } else {
        parameters.add(std::to_string(query.limit));
    }
    if (query.effect) {
        parameters.add(bytea_text(*query.effect));
    } else {
        parameters.add_null();  // every effect
    }
    if (query.seqs.empty()) {
        parameters.add_null();  // every seq
    } else {
        std::vector<std::int64_t> seqs;
        seqs.reserve(query.seqs.size());
        for (std::uint64_t seq : query.seqs) {
            seqs.push_back(static_cast<std::int64_t>(
                std::min<std::uint64_t>(seq, std::numeric_limits<std::int64_t>::max())));
        }
        parameters.add(integer_array(seqs));
    }
    Rows rows = connection.run(query.newest_first ? kNewestFirst : kOldestFirst, parameters);
    if (!rows.ok()) return Failure{rows.failure().message};
    return audit_entries_of(rows);
}

Result<std::vector<AuditEntry>> select_audit_of_transactions(PgConnection& connection,
                                                            std::span<const std::int64_t> xacts,
                                                            std::size_t limit) {
    // Without details: who hears of an entry this way reads a hold's detail if it needs it.
    Rows rows = connection.run(
        "SELECT " LATCHWORK_AUDIT_COLUMNS_BUT_DETAIL ", '', '', edited FROM latchwork_audit WHERE xact = ANY($1::int8[])"
        " ORDER BY seq LIMIT $2::int8",
        Parameters().add(integer_array(std::vector<std::int64_t>(xacts.begin(), xacts.end())))
            .add(std::to_string(limit)));
    if (!rows.ok()) return Failure{rows.failure().message};
    return audit_entries_of(rows);
}

Result<std::vector<HeldEffect>> select_held(PgConnection& connection, std::size_t limit,
                                          std::uint64_t after, std::string_view run_prefix) {
    Rows rows = connection.run(
        "SELECT hold_order, run_id, effect_key, " LATCHWORK_MS("held_at") ", " LATCHWORK_MS("deadline")
        ", coalesce(detail, ''), state = 3, coalesce(rule, ''), array_to_json(approvals)::text,"
        " coalesce(editable, ''), coalesce(edited, '')"
        " FROM latchwork_effects WHERE state IN (0, 3) AND hold_order > $1::int8"
        " AND substring(run_id FROM 1 FOR length($2::bytea)) = $2::bytea"
        " ORDER BY hold_order LIMIT $3::int8",
        Parameters()
            .add(std::to_string(after))
            .add(bytea_text(run_prefix))
            .add(std::to_string(limit)));
    if (!rows.ok()) return Failure{rows.failure().message};
    std::vector<HeldEffect> held;
    for (int row = 0; row < rows.count(); ++row) {
        HeldEffect effect;
        effect.position = static_cast<std::uint64_t>(rows.integer(row, 0));
        effect.run_id = std::string(rows.bytes(row, 1));
        effect.effect_key = std::string(rows.bytes(row, 2));
        effect.held_at_ms = rows.integer(row, 3);
        effect.deadline_ms = rows.integer(row, 4);
        effect.detail = std::string(rows.bytes(row, 5));
        effect.approved = rows.boolean(row, 6);
        effect.rule = std::string(rows.bytes(row, 7));
        effect.approvals = strings_of_json_array(rows.bytes(row, 8));
        effect.editable = editable_from_text(rows.bytes(row, 9));
        effect.edited = std::string(rows.bytes(row, 10));
        held.push_back(std::move(effect));
    }
    return held;
}

Result<std::optional<RunState>> select_run(PgConnection& connection, std::string_view run_id) {
    // Kind 0: the run's flags, when it has a row; kind 1: its effects.
    Rows rows = connection.run(
        "SELECT 0::int2, NULL::bytea, (cancelled::int + 2 * closed::int)::int2"
        " FROM latchwork_runs WHERE run_id = $1::bytea"
        " UNION ALL SELECT 1::int2, effect_key, state FROM latchwork_effects WHERE run_id = $1::bytea",
        Parameters().add(bytea_text(run_id)));
    if (!rows.ok()) return Failure{rows.failure().message};
    if (rows.count() == 0) return std::optional<RunState>();
    RunState state;
    for (int row = 0; row < rows.count(); ++row) {
        const std::int64_t value = rows.integer(row, 2);
        if (rows.integer(row, 0) == 0) {
            state.cancelled = (value & 1) != 0;
            state.closed = (value & 2) != 0;
        } else if (value >= 0 && value <= 3) {
            state.effects.emplace_back(std::string(rows.bytes(row, 1)), static_cast<EffectState>(value));
        }
    }
    std::sort(state.effects.begin(), state.effects.end());
    return std::optional<RunState>(std::move(state));
}

Result<std::uint64_t> count_pending(PgConnection& connection) {
    Rows rows = connection.run("SELECT count(*) FROM latchwork_effects WHERE state = 0");
    if (!rows.ok()) return Failure{rows.failure().message};
    return static_cast<std::uint64_t>(rows.integer(0, 0));
}

Result<std::vector<std::pair<std::string, std::string>>> select_due(PgConnection& connection,
                                                                  std::int64_t now_ms,
                                                                  std::size_t limit) {
    Rows rows = connection.run(
        "SELECT run_id, effect_key FROM latchwork_effects"
        " WHERE state = 0 AND deadline <= to_timestamp($1::int8 / 1000.0)"
        " ORDER BY deadline LIMIT $2::int8",
        Parameters().add(std::to_string(now_ms)).add(std::to_string(limit)));
    if (!rows.ok()) return Failure{rows.failure().message};
    std::vector<std::pair<std::string, std::string>> due;
    for (int row = 0; row < rows.count(); ++row) {
        due.emplace_back(std::string(rows.bytes(row, 0)), std::string(rows.bytes(row, 1)));
    }
    return due;
}

}  // namespace latchwork::server
