// pg_connection.cpp: one libpq connection, its statements and how their failures are told apart.
#include "server/store/postgres/pg_connection.h"

#include <cstring>

namespace latchwork::server {
namespace {

// Network byte order, as the binary result format sends integers.
std::uint64_t big_endian(const char* bytes, int length) noexcept {
    std::uint64_t value = 0;
    for (int i = 0; i < length; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

FailureKind kind_of(PGconn* connection, const PGresult* result) {
    if (PQstatus(connection) != CONNECTION_OK) return FailureKind::connection;
    const char* state = result == nullptr ? nullptr : PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (state == nullptr) return FailureKind::connection;  // libpq's own: no answer came
    const std::string_view code(state);
    if (code == "40001" || code == "40P01") return FailureKind::retry;
    // Connection exceptions, and the server shutting down or restarting under us.
    if (code.starts_with("08") || code.starts_with("57P")) return FailureKind::connection;
    return FailureKind::statement;
}

}  // namespace

std::string one_line(std::string_view message) {
    std::string line;
    line.reserve(message.size());
    for (const char c : message) {
        if (c == '\n' || c == '\r' || c == '\t') {
            if (!line.empty() && line.back() != ' ') line += ' ';
        } else if (c >= 0x20 && c < 0x7f) {
            line += c;
        } else {
            line += '?';
        }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line.empty() ? std::string("no message from libpq") : line;
}

std::string_view Rows::bytes(int row, int column) const noexcept {
    return {PQgetvalue(result_.get(), row, column),
            static_cast<std::size_t>(PQgetlength(result_.get(), row, column))};
}

std::int64_t Rows::integer(int row, int column) const noexcept {
    const int length = PQgetlength(result_.get(), row, column);
    const std::uint64_t raw = big_endian(PQgetvalue(result_.get(), row, column), length);
    // Sign-extend from the column's width (2, 4 or 8 bytes).
    const int unused = 64 - 8 * length;
    return unused > 0 ? static_cast<std::int64_t>(raw << unused) >> unused
                      : static_cast<std::int64_t>(raw);
}

bool Rows::boolean(int row, int column) const noexcept {
    return PQgetlength(result_.get(), row, column) == 1 && PQgetvalue(result_.get(), row, column)[0] != 0;
}

std::vector<const char*> Parameters::pointers() const {
    std::vector<const char*> pointers;
    pointers.reserve(texts_.size());
    for (const std::optional<std::string>& text : texts_) {
        pointers.push_back(text ? text->c_str() : nullptr);
    }
    return pointers;
}

Result<PgConnection> PgConnection::open(const std::string& conninfo) {
    // Keywords are applied in order and the expanded conninfo comes last, so the
    // caller's own connect_timeout wins over this default.
    const char* keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"10", conninfo.c_str(), nullptr};
    PgConnection opened(PQconnectdbParams(keywords, values, 1));
    if (opened.connection_ == nullptr) return Failure{"out of memory"};
    if (PQstatus(opened.connection_.get()) != CONNECTION_OK) {
        return Failure{one_line(PQerrorMessage(opened.connection_.get()))};
    }
    // "already exists, skipping" and the like are not worth a line on standard error.
    // Every statement of ours looks rows up by key, and a prepared statement keeps the
    // plan it got first: planned on a new, empty table, that would be a scan of the
    // whole table, kept while the table grows. Lookups by index are the only plans
    // wanted, whatever the statistics say at the time. Those settings make the rare
    // full scan (a count over every run) look dear enough to be compiled just in
    // time, which costs far more than the scan: no JIT.
    Rows set = opened.run_script(
        "SET client_min_messages = warning; SET enable_seqscan = off;"
        " SET enable_hashjoin = off; SET enable_mergejoin = off; SET jit = off");
    if (!set.ok()) return Failure{set.failure().message};
    // Left to choose, PostgreSQL plans a batch's statements afresh on every run (their
    // arrays make each run's own plan look cheaper), and planning them took three times
    // as long as running them: 230 of the 310 µs a batch of one spent in its
    // statements. With the settings above, the plan made once is the lookups by index
    // anyway. (The setting is PostgreSQL 12's; an older server keeps planning.)
    if (PQserverVersion(opened.connection_.get()) >= 120000) {
        Rows generic = opened.run_script("SET plan_cache_mode = force_generic_plan");
        if (!generic.ok()) return Failure{generic.failure().message};
    }
    return opened;
}

Rows PgConnection::run(const char* sql) {
    return finish(PQexecParams(connection_.get(), sql, 0, nullptr, nullptr, nullptr, nullptr, 1));
}

Rows PgConnection::run_script(const char* sql) { return finish(PQexec(connection_.get(), sql)); }

Rows PgConnection::run(const char* sql, const Parameters& parameters) {
    const std::vector<const char*> values = parameters.pointers();
    return finish(PQexecParams(connection_.get(), sql, parameters.size(), nullptr, values.data(),
                               nullptr, nullptr, 1));
}

Rows PgConnection::prepare(const char* name, const char* sql, int parameter_count) {
    return finish(PQprepare(connection_.get(), name, sql, parameter_count, nullptr));
}

std::vector<Rows> PgConnection::run_pipeline(std::span<const Statement> statements) {
    PGconn* connection = connection_.get();
    std::vector<Rows> results;
    results.reserve(statements.size());
    auto lost = [&](std::string message) {
        // Whatever was sent may or may not have run; the connection is not used again.
        const StatementFailure failure{FailureKind::connection, one_line(message)};
        while (results.size() < statements.size()) results.emplace_back(failure);
        return std::move(results);
    };
    if (PQenterPipelineMode(connection) != 1) return lost(PQerrorMessage(connection));
    for (const Statement& statement : statements) {
        const std::vector<const char*> values = statement.parameters.pointers();
        const int sent =
            statement.name != nullptr
                ? PQsendQueryPrepared(connection, statement.name, statement.parameters.size(),
                                      values.data(), nullptr, nullptr, 1)
                : PQsendQueryParams(connection, statement.sql, statement.parameters.size(),
                                    nullptr, values.data(), nullptr, nullptr, 1);
        if (sent != 1) return lost(PQerrorMessage(connection));
    }
    if (PQpipelineSync(connection) != 1) return lost(PQerrorMessage(connection));

    std::optional<StatementFailure> first_failure;
    for (std::size_t i = 0; i < statements.size(); ++i) {
        PGresult* raw = PQgetResult(connection);
        if (raw == nullptr) return lost(PQerrorMessage(connection));
        if (PQresultStatus(raw) == PGRES_PIPELINE_ABORTED) {
            PQclear(raw);
            results.emplace_back(first_failure ? *first_failure
                                               : StatementFailure{FailureKind::statement, "skipped"});
        } else {
            results.push_back(finish(raw));
            if (!results.back().ok() && !first_failure) first_failure = results.back().failure();
        }
        // Each statement's results end with a null.
        while (PGresult* extra = PQgetResult(connection)) PQclear(extra);
        if (!usable()) return lost(PQerrorMessage(connection));
    }
    ResultHandle sync(PQgetResult(connection));
    if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) {
        return lost(PQerrorMessage(connection));
    }
    if (PQexitPipelineMode(connection) != 1) return lost(PQerrorMessage(connection));
    return results;
}

Rows PgConnection::finish(PGresult* raw) {
    ResultHandle result(raw);
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return Rows(std::move(result));
    const char* text = result ? PQresultErrorMessage(result.get()) : "";
    if (text == nullptr || *text == '\0') text = PQerrorMessage(connection_.get());
    return Rows(StatementFailure{kind_of(connection_.get(), result.get()), one_line(text)});
}

}  // namespace latchwork::server
