// sqlite_statements.h: the statement helpers the store file's parts share, and the steps that open it.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace latchwork::server {

// How long a statement waits for a lock another connection holds before it fails. Only
// brief holders are expected (a reader's checkpoint as it closes the file last, a
// replication tool's checkpoint); the second server is kept out by the lock file, at once.
inline constexpr int kBusyMilliseconds = 5000;
inline constexpr const char* kInUse = "is in use by another process (database is locked)";

// SQLite binds a null pointer as NULL rather than as an empty blob.
int bind_bytes(sqlite3_stmt* statement, int index, std::string_view bytes);

// A detail is compact JSON, so text; none is NULL.
int bind_detail(sqlite3_stmt* statement, int index, std::string_view detail);

std::string_view column_bytes(sqlite3_stmt* statement, int column);

// Resets the statement however its step ended, so it never holds the transaction open.
int step_once(sqlite3_stmt* statement);

bool file_exists(const std::string& path);

// Runs statements that return no rows we need, in the store's opening steps.
class OpenSteps {
public:
    OpenSteps(sqlite3* db, const std::string& path) : db_(db), path_(path) {}

    std::optional<Failure> exec(const char* sql);

    // The first column of the first row of `sql`, as text ("" when there is no row).
    Result<std::string> query_text(const char* sql);

    // The first column of every row of `sql`, as text.
    Result<std::vector<std::string>> query_texts(const char* sql);

    Failure refuse(const std::string& why) const { return Failure{"store " + path_ + " " + why}; }

    std::optional<Failure> failure() const;

private:
    sqlite3* db_;
    const std::string& path_;
};

}  // namespace latchwork::server
