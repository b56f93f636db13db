// store_url.cpp: from the --store URL to the store it names.
#include "server/store_url.h"

#include <filesystem>
#include <system_error>

#include "server/committing_store.h"
#include "server/memory_store.h"
#include "server/store_name.h"
#if LATCHWORK_WITH_POSTGRESQL
#include "server/postgres_store.h"
#endif

namespace latchwork::server {

Result<OpenedStore> open_store(std::string_view url, boost::asio::io_context& io) {
    if (url == "memory:") return OpenedStore{std::make_unique<MemoryStore>(), "memory:"};
    if (is_postgresql_url(url)) {
#if LATCHWORK_WITH_POSTGRESQL
        const std::string shown = shown_store_url(url);
        Result<std::unique_ptr<PostgresStore>> opened = PostgresStore::open(std::string(url), io);
        if (!opened) return Failure{"store " + shown + ": " + opened.error()};
        return OpenedStore{std::move(opened).value(), shown};
#else
        return Failure{"unsupported store \"" + shown_store_url(url) +
                       "\": this latchwork-gate was built without PostgreSQL (libpq); "
                       "rebuild it with libpq installed (Debian: libpq-dev)"};
#endif
    }
    constexpr std::string_view kSqlite = "sqlite:";
    if (!url.starts_with(kSqlite)) {
        return Failure{"unsupported store \"" + shown_store_url(url) +
                       "\": the stores are sqlite:PATH, postgresql://... and memory:"};
    }
    const std::string_view path = url.substr(kSqlite.size());
    if (path.empty()) return Failure{"store path is empty (sqlite:PATH)"};
    // The full path is what the start-up line shows and what a second server is
    // compared by, whatever directory either was started in.
    std::error_code error;
    const std::filesystem::path full = 
        std::filesystem::absolute(std::filesystem::path(path), error).lexically_normal();
    if (error) return Failure{"store " + std::string(path) + ": " + error.message()};
    Result<SqliteStore> opened = SqliteStore::open(full.string());
    if (!opened) return std::move(opened).take_failure();
    return OpenedStore{std::make_unique<CommittingStore>(io, std::move(opened).value()),
                       "sqlite:" + full.string()};
}

}  // namespace latchwork::server
