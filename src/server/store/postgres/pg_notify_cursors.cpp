// pg_notify_cursors.cpp: the webhook targets' cursors in the shared database, one server delivering each target at a time.
#include "server/store/postgres/pg_notify_cursors.h"

#include <set>

#include "server/store/postgres/pg_connection.h"

namespace latchwork::server {
namespace {

// Servers starting together may both create it: IF NOT EXISTS races, the advisory lock
// of migrations (class "lwgw", key 0) does not.
constexpr const char* kCreate =
    "SELECT pg_advisory_xact_lock(1819566967, 0);"
    "CREATE TABLE IF NOT EXISTS latchwork_notify_cursor ("
    " target text PRIMARY KEY,"  // hex SHA-256 of the URL: URLs may hold secrets
    " seq bigint NOT NULL)";

// A lock class of its own ("lwgn"), keyed by the target's hash, apart from the
// store's per-run locks.
constexpr const char* kClaim =
    "SELECT pg_try_advisory_lock(1819764590, hashtext($1))";
constexpr const char* kInsert =
    "INSERT INTO latchwork_notify_cursor (target, seq) VALUES ($1, $2::bigint) "
    "ON CONFLICT (target) DO NOTHING";
constexpr const char* kRead = "SELECT seq FROM latchwork_notify_cursor WHERE target = $1";
constexpr const char* kSave =
    "UPDATE latchwork_notify_cursor SET seq = greatest(seq, $2::bigint) WHERE target = $1";

class PgNotifyCursors final : public NotifyCursors {
public:
    explicit PgNotifyCursors(PgConnection connection) : connection_(std::move(connection)) {}

    Result<std::optional<std::uint64_t>> claim(std::string_view target, std::uint64_t start) override {
        const std::string key(target);
        if (!held_.contains(key)) {
            Rows claimed = connection_.run(kClaim, Parameters().add(key));
            if (!claimed.ok()) return Failure{claimed.failure().message};
            if (!claimed.boolean(0, 0)) return std::optional<std::uint64_t>();
            held_.insert(key);
        }
        Rows inserted = connection_.run(kInsert, Parameters().add(key).add(std::to_string(start)));
        if (!inserted.ok()) return Failure{inserted.failure().message};
        Rows read = connection_.run(kRead, Parameters().add(key));
        if (!read.ok()) return Failure{read.failure().message};
        return std::optional<std::uint64_t>(static_cast<std::uint64_t>(read.integer(0, 0)));
    }

    Result<std::monostate> save(std::string_view target, std::uint64_t seq) override {
        Rows saved = connection_.run(kSave, Parameters().add(std::string(target)).add(std::to_string(seq)));
        if (!saved.ok()) return Failure{saved.failure().message};
        return std::monostate{};
    }

private:
    PgConnection connection_;
    std::set<std::string, std::less<>> held_;  // the targets whose lock this session holds
};

}  // namespace

Result<std::unique_ptr<NotifyCursors>> open_pg_notify_cursors(const std::string& conninfo,
                                                              std::chrono::milliseconds timeout) {
    Result<PgConnection> opened = PgConnection::open(conninfo, timeout);
    if (!opened) return std::move(opened).take_failure();
    PgConnection connection = std::move(opened).value();
    Rows created = connection.run_script(kCreate);
    if (!created.ok()) return Failure{created.failure().message};
    return std::unique_ptr<NotifyCursors>(std::make_unique<PgNotifyCursors>(std::move(connection)));
}

}  // namespace latchwork::server
