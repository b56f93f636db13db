// store_url.cpp: from the --store URL to the store it names.
#include "server/store/by_url/store_url.h"

#include <filesystem>
#include <system_error>

#include "server/store/by_url/shared_store_commands.h"
#include "server/store/by_url/store_name.h"
#include "server/store/batch_store.h"
#include "server/store/memory_backend.h"
#include "server/store/sqlite/sqlite_notify_cursors.h"
#include "server/store/sqlite/sqlite_backend.h"
#include "server/store/sqlite/sqlite_store_marker.h"
#if LATCHWORK_WITH_POSTGRESQL
#include "server/store/postgres/pg_notify_cursors.h"
#include "server/store/postgres/postgres_backend.h"
#endif

namespace latchwork::server {
namespace {

constexpr std::string_view kSqlite = "sqlite:";

// The full path is what the start-up line shows and what a second server is
// compared by, whatever directory either was started in.
Result<std::string> sqlite_path(std::string_view url) {
    const std::string_view path = url.substr(kSqlite.size());
    if (path.empty()) return Failure{"store path is empty (sqlite:PATH)"};
    std::error_code error;
    const std::filesystem::path full =
        std::filesystem::absolute(std::filesystem::path(path), error).lexically_normal();
    if (error) return Failure{"store " + std::string(path) + ": " + error.message()};
    return full.string();
}

Failure unsupported(std::string_view url) {
    return Failure{"unsupported store \"" + shown_store_url(url) +
                   "\": the stores are sqlite:PATH, postgresql://... and memory:"};
}

}  // namespace

Result<OpenedStore> open_store(std::string_view url, boost::asio::io_context& io,
                               const AuditBounds& bounds, StoreFileSteps file,
                               std::chrono::milliseconds timeout) {
    if (url == "memory:") {
        return OpenedStore{std::make_unique<BatchStore>(std::make_unique<MemoryBackend>(bounds), io, bounds),
                           "memory:", [] {
                               return Result<std::unique_ptr<NotifyCursors>>(
                                   std::make_unique<MemoryNotifyCursors>());
                           }};
    }
    if (is_postgresql_url(url)) {
#if LATCHWORK_WITH_POSTGRESQL
        const std::string shown = shown_store_url(url);
        Result<std::unique_ptr<PostgresBackend>> opened = PostgresBackend::open(std::string(url), io, timeout);
        if (!opened) return Failure{"store " + shown + ": " + opened.error()};
        return OpenedStore{std::make_unique<BatchStore>(std::move(opened).value(), io, bounds), shown,
                           [conninfo = std::string(url), timeout] {
                               return open_pg_notify_cursors(conninfo, timeout);
                           }};
#else
        return without_postgresql(url);
#endif
    }
    if (!url.starts_with(kSqlite)) return unsupported(url);
    Result<std::string> full = sqlite_path(url);
    if (!full) return std::move(full).take_failure();
    if (Result<std::monostate> ready = prepare_store_file(full.value(), file.is_default, file.create);
        !ready) {
        return std::move(ready).take_failure();
    }
    Result<SqliteFile> opened = SqliteFile::open(full.value());
    if (!opened) return std::move(opened).take_failure();
    return OpenedStore{std::make_unique<BatchStore>(std::make_unique<SqliteBackend>(std::move(opened).value()), io,
                                                    bounds),
                       "sqlite:" + full.value(),
                       [path = full.value()] { return open_sqlite_notify_cursors(path); },
                       mark_store_file(full.value())};
}

Result<std::vector<AuditEntry>> read_store_log(std::string_view url, const AuditQuery& query,
                                               bool& bad_url) {
    bad_url = true;
    if (url == "memory:") {
        return Failure{"the memory: store keeps no log once its server has exited"};
    }
    if (is_postgresql_url(url)) {
        bad_url = false;
        return read_shared_store_log(url, query);
    }
    if (!url.starts_with(kSqlite)) return unsupported(url);
    Result<std::string> full = sqlite_path(url);
    if (!full) return std::move(full).take_failure();
    bad_url = false;
    return SqliteFile::read_log(full.value(), query);  // beside a server serving it, if one does
}

}  // namespace latchwork::server
