// sqlite_lock_file.h: the flock on PATH.lock that keeps a store file to one open store.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/result.h"

namespace latchwork::server {

// The descriptor that holds the flock on PATH.lock; closing it lets the file go.
class StoreLockFile {
public:
    // Takes the store file `file_name` (the name SQLite opened) for this store alone;
    // `path`, as the owner gave it, names the store in a failure. Fails when another
    // open store holds it.
    static Result<StoreLockFile> take(const std::string& path, const std::string& file_name);

    StoreLockFile() = default;
    StoreLockFile(StoreLockFile&& other) noexcept;
    StoreLockFile& operator=(StoreLockFile&& other) noexcept;
    ~StoreLockFile() { reset(-1); }
    StoreLockFile(const StoreLockFile&) = delete;
    StoreLockFile& operator=(const StoreLockFile&) = delete;

    // PATH.lock.
    const std::string& path() const noexcept { return path_; }

    // False once PATH.lock was removed or replaced: without it, a second store could
    // open the file beside this one.
    bool in_place() const;

private:
    void reset(int fd) noexcept;

    int fd_ = -1;
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace latchwork::server
