// pg_audit_prune.cpp: one bounded step of deleting audit entries older than the retention, on a shared store.
#include "server/store/postgres/pg_audit_prune.h"

#include <string>

namespace latchwork::server {

Result<std::uint64_t> prune_audit_step(PgConnection& connection, std::chrono::milliseconds retention,
                                       std::uint64_t limit) {
    // Holds keep their time and deadline in latchwork_effects, so no entry is needed
    // for a restart; seq is a bigserial, which never hands out a freed number again.
    constexpr const char* kSql =
        "WITH gone AS (DELETE FROM latchwork_audit WHERE seq IN ("
        " SELECT seq FROM (SELECT seq, at FROM latchwork_audit ORDER BY seq LIMIT $2::bigint)"
        " AS oldest WHERE at < now() - $1::bigint * interval '1 millisecond')"
        " RETURNING 1)"
        " SELECT count(*) FROM gone";
    Parameters parameters;
    parameters.add(std::to_string(retention.count())).add(std::to_string(limit));
    const Rows rows = connection.run(kSql, parameters);
    if (!rows.ok()) return Failure{rows.failure().message};
    return static_cast<std::uint64_t>(rows.integer(0, 0));
}

}  // namespace latchwork::server
