// sqlite_statements.cpp: the statement helpers the store file's parts share, and the steps that open it.
#include "server/store/sqlite/sqlite_statements.h"

#include <sys/stat.h>

#include <cstddef>
#include <memory>

namespace latchwork::server {

int bind_bytes(sqlite3_stmt* statement, int index, std::string_view bytes) {
    static constexpr char kEmpty[1] = {};
    return sqlite3_bind_blob64(statement, index, bytes.empty() ? kEmpty : bytes.data(),
                               bytes.size(), SQLITE_STATIC);
}

int bind_detail(sqlite3_stmt* statement, int index, std::string_view detail) {
    if (detail.empty()) return sqlite3_bind_null(statement, index);
    return sqlite3_bind_text64(statement, index, detail.data(), detail.size(), SQLITE_STATIC,
                               SQLITE_UTF8);
}

std::string_view column_bytes(sqlite3_stmt* statement, int column) {
    const void* data = sqlite3_column_blob(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    if (data == nullptr) return {};
    return {static_cast<const char*>(data), static_cast<std::size_t>(size)};
}

int step_once(sqlite3_stmt* statement) {
    const int status = sqlite3_step(statement);
    sqlite3_reset(statement);
    return status;
}

bool file_exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

std::optional<Failure> OpenSteps::exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return failure();
    return std::nullopt;
}

Result<std::string> OpenSteps::query_text(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) return *failure();
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    const int status = sqlite3_step(raw);
    if (status == SQLITE_DONE) return std::string();
    if (status != SQLITE_ROW) return *failure();
    const unsigned char* text = sqlite3_column_text(raw, 0);
    return std::string(text == nullptr ? "" : reinterpret_cast<const char*>(text));
}

Result<std::vector<std::string>> OpenSteps::query_texts(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) return *failure();
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    std::vector<std::string> rows;
    int status;
    while ((status = sqlite3_step(raw)) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(raw, 0);
        rows.emplace_back(text == nullptr ? "" : reinterpret_cast<const char*>(text));
    }
    if (status != SQLITE_DONE) return *failure();
    return rows;
}

std::optional<Failure> OpenSteps::failure() const {
    const int code = sqlite3_errcode(db_);
    if ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED) {
        return refuse(kInUse);
    }
    return Failure{"store " + path_ + ": " + sqlite3_errmsg(db_)};
}

}  // namespace latchwork::server
