// pg_notify_cursors.cpp: the webhook targets' cursors in the shared database, one server delivering each target at a time, by lease.
#include "server/store/postgres/pg_notify_cursors.h"


#include "server/store/postgres/pg_connection.h"
#include "server/store/postgres/pg_server_id.h"

namespace latchwork::server {
namespace {

// A claim lapses this long after it was last renewed, so that the target passes to
// another server when this one dies or stops (NotifyCursors::kKeepEvery renews it).
// The database's clock judges it, the same for every server.
constexpr std::int64_t kLeaseMs = 10000;

// The cursor's row, made when first claimed, then leased: free, lapsed or already
// ours. A row lock on the gate's own table: no other login can take it from us.
constexpr const char* kInsert =
    "INSERT INTO latchwork_notify_cursor (target, seq) VALUES ($1, $2::bigint) "
    "ON CONFLICT (target) DO NOTHING";
constexpr const char* kClaim =
    "UPDATE latchwork_notify_cursor SET owner = $2,"
    " lease_until = clock_timestamp() + $3::int8 * interval '1 millisecond'"
    " WHERE target = $1 AND (owner IS NULL OR owner = $2 OR lease_until < clock_timestamp())"
    " RETURNING seq";
// Saving renews the lease as well; no row: another server has taken the target.
constexpr const char* kSave =
    "UPDATE latchwork_notify_cursor SET seq = greatest(seq, $2::bigint),"
    " lease_until = clock_timestamp() + $4::int8 * interval '1 millisecond'"
    " WHERE target = $1 AND owner = $3 RETURNING 1";

class PgNotifyCursors final : public NotifyCursors {
public:
    explicit PgNotifyCursors(PgConnection connection)
        : connection_(std::move(connection)), owner_(process_server_id()) {}

    Result<std::optional<std::uint64_t>> claim(std::string_view target, std::uint64_t start) override {
        const std::string key(target);
        Rows inserted = connection_.run(kInsert, Parameters().add(key).add(std::to_string(start)));
        if (!inserted.ok()) return Failure{inserted.failure().message};
        Rows claimed = connection_.run(kClaim, Parameters().add(key).add(owner_).add(std::to_string(kLeaseMs)));
        if (!claimed.ok()) return Failure{claimed.failure().message};
        if (claimed.count() == 0) return std::optional<std::uint64_t>();
        return std::optional<std::uint64_t>(static_cast<std::uint64_t>(claimed.integer(0, 0)));
    }

    Result<std::monostate> save(std::string_view target, std::uint64_t seq) override {
        Rows saved = connection_.run(kSave, Parameters()
                                                .add(std::string(target))
                                                .add(std::to_string(seq))
                                                .add(owner_)
                                                .add(std::to_string(kLeaseMs)));
        if (!saved.ok()) return Failure{saved.failure().message};
        if (saved.count() == 0) return Failure{"another server delivers to this target now"};
        return std::monostate{};
    }

    Result<std::monostate> keep(std::string_view target) override { return save(target, 0); }

private:
    PgConnection connection_;
    const std::string owner_;
};

}  // namespace

Result<std::unique_ptr<NotifyCursors>> open_pg_notify_cursors(const std::string& conninfo,
                                                              std::chrono::milliseconds timeout) {
    Result<PgConnection> opened = PgConnection::open(conninfo, timeout);
    if (!opened) return std::move(opened).take_failure();
    // The table is the schema's (`latchwork-gate migrate`), checked when the store opened.
    return std::unique_ptr<NotifyCursors>(std::make_unique<PgNotifyCursors>(std::move(opened).value()));
}

}  // namespace latchwork::server
