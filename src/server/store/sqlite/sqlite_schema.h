// sqlite_schema.h: the store file's tables, created in numbered steps and upgraded in place.
#pragma once

#include <optional>
#include <string>

#include "support/result.h"

namespace latchwork::server {

class OpenSteps;

// The layout a store file carries in its schema_version table: the number of the last
// step in sqlite_schema.cpp, each of which says what its version added. Older programs
// refuse files with a higher one; a file of an older version is upgraded in place when
// a store opens it.
inline constexpr int kStoreSchemaVersion = 9;

// Within the caller's transaction: a new file gets every step, a file of an older
// version the steps after its own, a file of this version none. Refuses another
// program's file and a version this program does not know.
std::optional<Failure> create_or_check_schema(OpenSteps& steps);

// A file is ours (PRAGMA application_id), checked before anything in it is trusted.
std::optional<Failure> check_application(OpenSteps& steps);

// Refuses any version but this program's (an older one is the caller's to handle).
std::optional<Failure> check_version(OpenSteps& steps, const std::string& version);

}  // namespace latchwork::server
