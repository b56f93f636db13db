// pg_connection.h: one libpq connection, its statements and how their failures are told apart.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace latchwork::server {

struct ConnectionCloser {
    void operator()(PGconn* connection) const noexcept { PQfinish(connection); }
};
struct ResultClearer {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using ResultHandle = std::unique_ptr<PGresult, ResultClearer>;

// Why a statement failed, as far as what to do next is concerned.
enum class FailureKind : std::uint8_t {
    retry,       // a serialization failure or deadlock: run the transaction again
    connection,  // the connection is gone or unusable: what was in flight is unknown
    statement,   // anything else: the transaction is lost, the connection may live
};

struct StatementFailure {
    FailureKind kind;
    std::string message;  // one line, printable ASCII
    // A connection lost after COMMIT was sent: the transaction may have been committed.
    bool may_have_committed = false;
    // The database did not answer within the connection's timeout.
    bool timed_out = false;
};

// What a statement gave: its rows, read in the binary result format, or why it failed.
class Rows {
public:
    explicit Rows(ResultHandle result) : result_(std::move(result)) {}
    explicit Rows(StatementFailure failure) : failure_(std::move(failure)) {}
    bool ok() const noexcept { return !failure_; }
    const StatementFailure& failure() const { return *failure_; }
    int count() const noexcept { return PQntuples(result_.get()); }
    bool is_null(int row, int column) const noexcept {
        return PQgetisnull(result_.get(), row, column) != 0;
    }
    std::string_view bytes(int row, int column) const noexcept;
    std::int64_t integer(int row, int column) const noexcept;  // int2, int4 or int8
    bool boolean(int row, int column) const noexcept;

private:
    ResultHandle result_;
    std::optional<StatementFailure> failure_;
};

// A statement's parameters, all sent as text, for PQexecParams.
class Parameters {
public:
    Parameters& add(std::string text) {
        texts_.emplace_back(std::move(text));
        return *this;
    }
    Parameters& add_null() {
        texts_.emplace_back();
        return *this;
    }
    int size() const noexcept { return static_cast<int>(texts_.size()); }
    std::vector<const char*> pointers() const;

private:
    std::vector<std::optional<std::string>> texts_;
};

// One statement of a pipeline: prepared under `name` with prepare(), or, when `name`
// is null, sent as the text `sql`.
struct Statement {
    const char* name = nullptr;
    const char* sql = nullptr;
    Parameters parameters;
};

class PgConnection {
public:
    // Connects with the libpq connection URI or key=value string `conninfo`; a URI
    // without a connect_timeout waits at most 10 s for the server.
    //
    // With a `timeout` (a server's --store-timeout), no call on the connection waits
    // longer: connecting, and each statement or pipeline, fails once it has waited that
    // long for the database, and the connection is given up (a reply may still be on
    // its way). The server is told the same bound as statement_timeout and
    // lock_timeout, and the socket gets keepalives and a TCP user timeout from it, so
    // that a peer gone silent is noticed by the kernel as well. Without one (the
    // command-line tools), calls wait as long as libpq does.
    static Result<PgConnection> open(const std::string& conninfo,
                                     std::chrono::milliseconds timeout = {});

    // Runs one statement; rows come in binary format.
    Rows run(const char* sql);
    // Runs several statements at once (the simple protocol: rows come as text).
    Rows run_script(const char* sql);
    Rows run(const char* sql, const Parameters& parameters);

    // Parses and plans `sql` once, to be run by name from then on.
    Rows prepare(const char* name, const char* sql, int parameter_count);

    // Sends every statement at once and then reads their results: one round trip
    // for all of them (libpq's pipeline mode). One Rows per statement; once one has
    // failed, the server skips the rest, and they report the same failure.
    std::vector<Rows> run_pipeline(std::span<const Statement> statements);

    // Whether prepare() has been done for the statements of the caller's kind; a new
    // connection has none.
    bool prepared() const noexcept { return prepared_; }
    void set_prepared() noexcept { prepared_ = true; }

    bool usable() const noexcept {
        return !timed_out_ && PQstatus(connection_.get()) == CONNECTION_OK;
    }
    PGconn* native() const noexcept { return connection_.get(); }

private:
    explicit PgConnection(PGconn* connection) : connection_(connection) {}
    Rows finish(PGresult* result);
    // After a PQsend*: the results of what was sent, within the call's deadline; the
    // first failed one, else the last, as PQexec gives them.
    Rows collect();
    // Sends what libpq has buffered and waits until a result can be read without
    // blocking; false once the deadline has passed (the connection is then given up)
    // or the connection failed.
    bool flush_until(std::chrono::steady_clock::time_point deadline);
    bool await_result(std::chrono::steady_clock::time_point deadline);
    std::chrono::steady_clock::time_point deadline() const;
    StatementFailure no_answer() const;

    std::unique_ptr<PGconn, ConnectionCloser> connection_;
    std::chrono::milliseconds timeout_{0};  // zero: calls block as long as libpq does
    bool timed_out_ = false;
    bool prepared_ = false;
};

// libpq's multi-line message as one line of printable ASCII.
std::string one_line(std::string_view message);

// Why the database is not worth asking now (it is known to be away, say); nothing when it is.
using NotNow = std::function<std::optional<std::string>()>;
// The connection `kept` holds while it is usable; else a new one within `timeout` kept
// there, unless `not_now` says why not. Null, with `why_not` said, when there is none.
PgConnection* kept_or_opened(std::optional<PgConnection>& kept, const std::string& conninfo,
                             std::chrono::milliseconds timeout, const NotNow& not_now,
                             std::string& why_not);

}  // namespace latchwork::server
