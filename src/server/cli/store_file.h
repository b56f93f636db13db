// store_file.h: where the default SQLite store lives, and a store file that vanished.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "support/result.h"

namespace latchwork::server {

// "sqlite:" and the default store's absolute path: $XDG_STATE_HOME/latchwork/gate.db,
// or ~/.local/state/latchwork/gate.db when XDG_STATE_HOME is unset or relative (as the
// XDG base directory rules ask). Never relative to the working directory, so a server
// restarted elsewhere finds the same gate. nullopt when there is no home directory.
std::optional<std::string> default_store_url();

// The file beside a SQLite store that says a server opened the store there: PATH.created.
std::string store_marker_path(const std::string& store_path);

// Before a SQLite store is opened (other URLs pass untouched): for the default store,
// its directories are made, owner-only, and while it does not exist yet a
// latchwork-gate.db in the working directory (the default of earlier versions) is
// refused; then a store file that is missing while its marker remains is refused.
// `create` lets either start an empty gate.
Result<std::monostate> prepare_store_file(std::string_view url, bool is_default, bool create);

// Once the store is open: leaves the marker beside it if there is none yet. What went
// wrong, as a warning, or nullopt.
std::optional<std::string> mark_store_file(std::string_view url);

}  // namespace latchwork::server
