// sqlite_store_marker.cpp: the file steps around opening a SQLite store: its directories, and a store file that vanished.
//
// Why a marker beside the store and not a list in the state directory: it goes with
// the store wherever the store is put (another disk, a container volume, a service
// user without a home), it needs nothing writable besides the store's own directory,
// and it is lost only with that whole directory, the one loss nothing could tell
// from a first start. What it catches is the file alone gone: deleted, or missed by
// a restore or a clean-up, while the directory stays.
#include "server/store/sqlite/sqlite_store_marker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace latchwork::server {
namespace {

constexpr std::string_view kMarkerText =
    "latchwork-gate opened the SQLite store beside this file. While this file is here and\n"
    "the store is not, the server refuses to start (pass --create to begin an empty gate).\n";

constexpr const char* kOldDefault = "latchwork-gate.db";

// mkdir -p, each new directory owner-only; existing ones are left as they are.
Result<std::monostate> make_private_directories(const std::filesystem::path& directory) {
    std::filesystem::path made;
    for (const std::filesystem::path& part : directory) {
        made /= part;
        if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
            return Failure{"cannot make the store's directory " + made.string() + ": " +
                           std::strerror(errno)};
        }
    }
    return std::monostate{};
}

bool present(const std::string& path, int& error) {
    struct stat info{};
    if (::stat(path.c_str(), &info) == 0) return true;
    error = errno;
    return false;
}

}  // namespace

std::string store_marker_path(const std::string& store_path) { return store_path + ".created"; }

Result<std::monostate> prepare_store_file(const std::string& path, bool is_default, bool create) {
    int store_error = 0;
    int other_error = 0;
    // Earlier versions kept the default store in the working directory. A server
    // upgraded in place must not start an empty gate beside the one it used.
    if (is_default && !create && !present(path, store_error) && store_error == ENOENT &&
        present(kOldDefault, other_error)) {
        std::error_code error;
        const std::string old = std::filesystem::absolute(kOldDefault, error).string();
        return Failure{"the default store is " + path + " now, and " + old +
                       " is where it was before: pass --store sqlite:" + old +
                       " to go on with it, or --create to start an empty gate at the new place"};
    }
    const std::string marker = store_marker_path(path);
    if (!present(path, store_error) && store_error == ENOENT && present(marker, other_error) &&
        !create) {
        return Failure{"store " + path + " is gone, but " + marker +
                       " says a server used it: restore the store, or pass --create to start "
                       "an empty gate there"};
    }
    // Made last, so that a refused start leaves nothing new behind.
    if (is_default) return make_private_directories(std::filesystem::path(path).parent_path());
    return std::monostate{};
}

std::optional<std::string> mark_store_file(const std::string& path) {
    const std::string marker = store_marker_path(path);
    const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return std::nullopt;
        return "cannot leave the marker " + marker + ": " + std::strerror(errno) +
               "; a lost store file will not be noticed";
    }
    const ssize_t written = ::write(fd, kMarkerText.data(), kMarkerText.size());
    const int saved = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(kMarkerText.size())) {
        return "cannot write the marker " + marker + ": " +
               (written < 0 ? std::strerror(saved) : "short write");
    }
    return std::nullopt;
}

}  // namespace latchwork::server
