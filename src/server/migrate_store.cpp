// migrate_store.cpp: `latchwork-gate migrate`, the schema of a shared store made current.
#include "server/migrate_store.h"

#include <string>

#include "server/store_name.h"
#if LATCHWORK_WITH_POSTGRESQL
#include "server/postgres/pg_connection.h"
#include "server/postgres/pg_schema.h"
#endif

namespace latchwork::server {

Result<int> migrate_store(std::string_view url) {
    const std::string shown = shown_store_url(url);
    if (!is_postgresql_url(url)) {
        return Failure{"cannot migrate \"" + shown +
                       "\": migrate is for postgresql://... stores (a sqlite: file upgrades "
                       "itself when a server opens it)"};
    }
#if LATCHWORK_WITH_POSTGRESQL
    Result<postgres::PgConnection> connected = postgres::PgConnection::open(std::string(url));
    if (!connected) return Failure{"store " + shown + ": cannot connect: " + connected.error()};
    Result<int> migrated = postgres::migrate_schema(connected.value());
    if (!migrated) return Failure{"store " + shown + ": " + migrated.error()};
    return migrated;
#else
    return Failure{"unsupported store \"" + shown +
                   "\": this latchwork-gate was built without PostgreSQL (libpq); "
                   "rebuild it with libpq installed (Debian: libpq-dev)"};
#endif
}

}  // namespace latchwork::server
