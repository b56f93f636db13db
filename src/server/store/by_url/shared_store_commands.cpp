// shared_store_commands.cpp: what the commands other than `serve` do with a shared store.
#include "server/store/by_url/shared_store_commands.h"

#include <string>

#include "server/store/by_url/store_name.h"
#if LATCHWORK_WITH_POSTGRESQL
#include "server/store/postgres/pg_connection.h"
#include "server/store/postgres/pg_reads.h"
#include "server/store/postgres/pg_schema.h"
#endif

namespace latchwork::server {

Failure without_postgresql(std::string_view url) {
    return Failure{"unsupported store \"" + shown_store_url(url) +
                   "\": this latchwork-gate was built without PostgreSQL (libpq); "
                   "rebuild it with libpq installed (Debian: libpq-dev)"};
}

Result<int> migrate_store(std::string_view url) {
    const std::string shown = shown_store_url(url);
    if (!is_postgresql_url(url)) {
        return Failure{"cannot migrate \"" + shown +
                       "\": migrate is for postgresql://... stores (a sqlite: file upgrades "
                       "itself when a server opens it)"};
    }
#if LATCHWORK_WITH_POSTGRESQL
    Result<PgConnection> connected = PgConnection::open(std::string(url));
    if (!connected) return Failure{"store " + shown + ": cannot connect: " + connected.error()};
    Result<int> migrated = migrate_schema(connected.value());
    if (!migrated) return Failure{"store " + shown + ": " + migrated.error()};
    return migrated;
#else
    return without_postgresql(url);
#endif
}

Result<std::vector<AuditEntry>> read_shared_store_log(std::string_view url, const AuditQuery& query) {
#if LATCHWORK_WITH_POSTGRESQL
    const std::string shown = shown_store_url(url);
    Result<PgConnection> connected = PgConnection::open(std::string(url));
    if (!connected) return Failure{"store " + shown + ": cannot connect: " + connected.error()};
    if (Result<std::monostate> checked = check_schema(connected.value()); !checked) {
        return Failure{"store " + shown + ": " + checked.error()};
    }
    Result<std::vector<AuditEntry>> read = select_audit(connected.value(), query);
    if (!read) return Failure{"store " + shown + ": " + read.error()};
    return read;
#else
    (void)query;
    return without_postgresql(url);
#endif
}

}  // namespace latchwork::server
