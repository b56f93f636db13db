// pg_connection.cpp: one libpq connection, its statements and how their failures are told apart.
#include "server/store/postgres/pg_connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace latchwork::server {
namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNoDeadline = Clock::time_point::max();

// Waits until the socket of `connection` is ready for `events`; false once `deadline`
// has passed first. A failing poll, or no socket, says ready: libpq then finds the
// error itself.
bool wait_socket(PGconn* connection, short events, Clock::time_point deadline) {
    for (;;) {
        int wait_ms = -1;
        if (deadline != kNoDeadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            wait_ms = static_cast<int>(std::min<std::int64_t>(left.count(), 60'000));
        }
        const int socket = PQsocket(connection);
        if (socket < 0) return true;  // closed: nothing to wait for
        pollfd watched{socket, events, 0};
        const int ready = poll(&watched, 1, wait_ms);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
    }
}

// The connection settings a call timeout brings: libpq's own connect_timeout as a
// backstop (it counts whole seconds, 2 at least), TCP keepalives that give up on a
// silent peer within about the timeout, and the kernel's bound on unacknowledged data.
std::vector<std::pair<std::string, std::string>> timeout_settings(std::chrono::milliseconds timeout) {
    const std::int64_t seconds = std::max<std::int64_t>(1, (timeout.count() + 999) / 1000);
    return {{"connect_timeout", std::to_string(std::max<std::int64_t>(2, seconds))},
            {"keepalives", "1"},
            {"keepalives_idle", std::to_string(std::max<std::int64_t>(1, seconds / 2))},
            {"keepalives_interval", std::to_string(std::max<std::int64_t>(1, seconds / 4))},
            {"keepalives_count", "3"},
            {"tcp_user_timeout", std::to_string(timeout.count())}};
}

// Connects within `deadline`, polling libpq's connection steps (which ignore
// connect_timeout) on the caller's clock.
PGconn* connect_within(const char* const* keywords, const char* const* values, Clock::time_point deadline) {
    PGconn* connection = PQconnectStartParams(keywords, values, 1);
    if (connection == nullptr || PQstatus(connection) == CONNECTION_BAD) return connection;
    PostgresPollingStatusType step = PGRES_POLLING_WRITING;
    for (;;) {
        if (step == PGRES_POLLING_OK || step == PGRES_POLLING_FAILED) return connection;
        const short events = step == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        if (!wait_socket(connection, events, deadline)) return connection;  // still not OK
        step = PQconnectPoll(connection);
    }
}

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

Result<PgConnection> PgConnection::open(const std::string& conninfo, std::chrono::milliseconds timeout) {
    // Keywords are applied in order and the expanded conninfo comes last, so the
    // caller's own settings (connect_timeout, keepalives, ...) win over these defaults.
    std::vector<std::pair<std::string, std::string>> settings = {{"connect_timeout", "10"}};
    if (timeout.count() > 0) settings = timeout_settings(timeout);
    settings.emplace_back("dbname", conninfo);
    std::vector<const char*> keywords;
    std::vector<const char*> values;
    for (const auto& [keyword, value] : settings) {
        keywords.push_back(keyword.c_str());
        values.push_back(value.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    PgConnection opened(timeout.count() > 0
                            ? connect_within(keywords.data(), values.data(), Clock::now() + timeout)
                            : PQconnectdbParams(keywords.data(), values.data(), 1));
    if (opened.connection_ == nullptr) return Failure{"out of memory"};
    if (PQstatus(opened.connection_.get()) != CONNECTION_OK) {
        if (timeout.count() > 0 && PQstatus(opened.connection_.get()) != CONNECTION_BAD) {
            return Failure{"no connection within " + std::to_string(timeout.count()) + " ms"};
        }
        return Failure{one_line(PQerrorMessage(opened.connection_.get()))};
    }
    // Sends never block: every wait is a poll that can end at the deadline.
    if (PQsetnonblocking(opened.connection_.get(), 1) != 0) {
        return Failure{one_line(PQerrorMessage(opened.connection_.get()))};
    }
    opened.timeout_ = timeout;
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
    if (timeout.count() > 0) {
        // The server gives up on its side too: a statement, or a wait for a lock held
        // by a stalled transaction elsewhere, that outlasts the timeout fails there.
        const std::string bound = std::to_string(timeout.count());
        const std::string set = "SET statement_timeout = " + bound + "; SET lock_timeout = " + bound;
        Rows limited = opened.run_script(set.c_str());
        if (!limited.ok()) return Failure{limited.failure().message};
    }
    return opened;
}

Clock::time_point PgConnection::deadline() const {
    return timeout_.count() > 0 ? Clock::now() + timeout_ : kNoDeadline;
}

StatementFailure PgConnection::no_answer() const {
    return StatementFailure{FailureKind::connection,
                            "no answer from the database within " + std::to_string(timeout_.count()) + " ms",
                            false, true};
}

bool PgConnection::flush_until(Clock::time_point deadline) {
    PGconn* connection = connection_.get();
    for (;;) {
        const int left = PQflush(connection);
        if (left <= 0) return left == 0;
        // The server may be waiting for us to read before it takes more.
        if (!wait_socket(connection, POLLIN | POLLOUT, deadline)) {
            timed_out_ = true;
            return false;
        }
        if (PQconsumeInput(connection) == 0) return false;
    }
}

bool PgConnection::await_result(Clock::time_point deadline) {
    PGconn* connection = connection_.get();
    if (!flush_until(deadline)) return false;
    while (PQisBusy(connection) != 0) {
        if (!wait_socket(connection, POLLIN, deadline)) {
            timed_out_ = true;
            return false;
        }
        if (PQconsumeInput(connection) == 0) return false;
    }
    return true;
}

Rows PgConnection::collect() {
    const Clock::time_point until = deadline();
    std::optional<Rows> kept;
    for (;;) {
        if (!await_result(until)) {
            if (timed_out_) return Rows(no_answer());
            break;  // the connection failed: the result below says how
        }
        PGresult* raw = PQgetResult(connection_.get());
        if (raw == nullptr) break;
        Rows rows = finish(raw);
        // As PQexec: the first failure, else the last result.
        if (!kept || kept->ok()) kept.emplace(std::move(rows));
    }
    return kept ? std::move(*kept) : finish(nullptr);
}

Rows PgConnection::run(const char* sql) {
    if (timed_out_) return Rows(no_answer());
    if (PQsendQueryParams(connection_.get(), sql, 0, nullptr, nullptr, nullptr, nullptr, 1) != 1) {
        return finish(nullptr);
    }
    return collect();
}

Rows PgConnection::run_script(const char* sql) {
    if (timed_out_) return Rows(no_answer());
    if (PQsendQuery(connection_.get(), sql) != 1) return finish(nullptr);
    return collect();
}

Rows PgConnection::run(const char* sql, const Parameters& parameters) {
    if (timed_out_) return Rows(no_answer());
    const std::vector<const char*> values = parameters.pointers();
    if (PQsendQueryParams(connection_.get(), sql, parameters.size(), nullptr, values.data(), nullptr,
                          nullptr, 1) != 1) {
        return finish(nullptr);
    }
    return collect();
}

Rows PgConnection::prepare(const char* name, const char* sql, int parameter_count) {
    if (timed_out_) return Rows(no_answer());
    if (PQsendPrepare(connection_.get(), name, sql, parameter_count, nullptr) != 1) return finish(nullptr);
    return collect();
}

std::vector<Rows> PgConnection::run_pipeline(std::span<const Statement> statements) {
    PGconn* connection = connection_.get();
    const Clock::time_point until = deadline();
    std::vector<Rows> results;
    results.reserve(statements.size());
    auto lost = [&](std::string message) {
        // Whatever was sent may or may not have run; the connection is not used again.
        const StatementFailure failure =
            timed_out_ ? no_answer() : StatementFailure{FailureKind::connection, one_line(message)};
        while (results.size() < statements.size()) results.emplace_back(failure);
        return std::move(results);
    };
    // Each result is read once libpq has it whole, so that no read blocks.
    auto next_result = [&]() -> PGresult* {
        if (!await_result(until)) return nullptr;
        return PQgetResult(connection);
    };
    if (timed_out_) return lost("");
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
        PGresult* raw = next_result();
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
        while (PGresult* extra = next_result()) PQclear(extra);
        if (!usable()) return lost(PQerrorMessage(connection));
    }
    ResultHandle sync(next_result());
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

PgConnection* kept_or_opened(std::optional<PgConnection>& kept, const std::string& conninfo,
                             std::chrono::milliseconds timeout, const NotNow& not_now,
                             std::string& why_not) {
    if (kept && kept->usable()) return &*kept;
    kept.reset();
    if (std::optional<std::string> reason = not_now()) {
        why_not = std::move(*reason);
        return nullptr;
    }
    Result<PgConnection> connected = PgConnection::open(conninfo, timeout);
    if (!connected) {
        why_not = connected.error();
        return nullptr;
    }
    kept = std::move(connected).value();
    return &*kept;
}

}  // namespace latchwork::server
