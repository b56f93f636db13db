// store_url.h: from the --store URL to the store it names.
#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/audit_bounds.h"
#include "server/store/notify_cursors.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

struct OpenedStore {
    std::unique_ptr<Store> store;
    std::string name;  // for the start-up line: "sqlite:" and the absolute path, or "memory:"
    // Where the webhook targets' cursors are kept: beside the store's own data.
    NotifyCursorsOpener notify_cursors;
    // To say at start-up, the store open all the same: a SQLite store's marker that
    // could not be left (sqlite_store_marker.h).
    std::optional<std::string> warning = std::nullopt;
};

// How a SQLite store's file is met before it is opened (sqlite_store_marker.h); the
// other stores have no file of their own and ignore it.
struct StoreFileSteps {
    bool is_default = false;  // no --store was given: the default store's place
    bool create = false;      // a store file that vanished may start an empty gate
};

// "sqlite:PATH" opens (or creates) the SQLite store at PATH, relative paths taken
// from the working directory, after the file steps `file` asks for, and marks it; it
// commits on a thread of its own and posts to `io`, which must outlive it. "memory:"
// keeps nothing beyond the ledger. Anything else fails with a message that says which
// stores there are. Every store keeps its audit log within `bounds`. A store that
// talks to a database gives up on each call after `timeout` (zero: never); the others
// take no such bound.
Result<OpenedStore> open_store(std::string_view url, boost::asio::io_context& io,
                               const AuditBounds& bounds = {}, StoreFileSteps file = {},
                               std::chrono::milliseconds timeout = {});

// The audit log of the store `url` names, read without serving: a missing SQLite file
// is refused, never created, and so is one a running server holds. `bad_url` tells a
// URL that names no readable store (memory: keeps nothing once its server exits)
// from a store that could not be read.
Result<std::vector<AuditEntry>> read_store_log(std::string_view url, const AuditQuery& query,
                                               bool& bad_url);

}  // namespace latchwork::server
