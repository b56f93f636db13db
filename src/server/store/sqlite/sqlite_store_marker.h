// sqlite_store_marker.h: the file steps around opening a SQLite store: its directories, and a store file that vanished.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "support/result.h"

namespace latchwork::server {

// The file beside a SQLite store that says a server opened the store there: PATH.created.
std::string store_marker_path(const std::string& store_path);

// Before the store at `path` (absolute and normal) is opened: for the default store,
// its directories are made, owner-only, and while it does not exist yet a
// latchwork-gate.db in the working directory (the default of earlier versions) is
// refused; then a store file that is missing while its marker remains is refused.
// `create` lets either start an empty gate.
Result<std::monostate> prepare_store_file(const std::string& path, bool is_default, bool create);

// Once the store is open: leaves the marker beside it if there is none yet. What went
// wrong, as a warning, or nullopt.
std::optional<std::string> mark_store_file(const std::string& path);

}  // namespace latchwork::server
