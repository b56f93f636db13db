// migrate_store.h: `latchwork-gate migrate`, the schema of a shared store made current.
#pragma once

#include <string_view>

#include "support/result.h"

namespace latchwork::server {

// Creates or upgrades the schema of the store `url` names; returns the version it is
// at afterwards. Only a shared store is migrated this way: a SQLite file upgrades
// itself when a server opens it.
Result<int> migrate_store(std::string_view url);

}  // namespace latchwork::server
