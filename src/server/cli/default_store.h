// default_store.h: where the SQLite store lives when --store is not given.
#pragma once

#include <optional>
#include <string>

namespace latchwork::server {

// "sqlite:" and the default store's absolute path: $XDG_STATE_HOME/latchwork/gate.db,
// or ~/.local/state/latchwork/gate.db when XDG_STATE_HOME is unset or relative (as the
// XDG base directory rules ask). Never relative to the working directory, so a server
// restarted elsewhere finds the same gate. nullopt when there is no home directory.
std::optional<std::string> default_store_url();

}  // namespace latchwork::server
