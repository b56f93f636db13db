// sqlite_lock_file.cpp: the flock on PATH.lock that keeps a store file to one open store.
#include "server/store/sqlite/sqlite_lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "server/store/sqlite/sqlite_statements.h"

namespace latchwork::server {

// The file is taken with an flock on PATH.lock, PATH with its symbolic links resolved
// as SQLite resolves them for its log, so that every name of the file finds one lock.
// Never a lock on the database file itself: closing any descriptor of that file drops
// the POSIX locks SQLite holds on it in this process. The lock file stays when the
// store closes: removing it could let two stores lock two different files.
Result<StoreLockFile> StoreLockFile::take(const std::string& path, const std::string& file_name) {
    const std::unique_ptr<char, void (*)(void*)> real(::realpath(file_name.c_str(), nullptr),
                                                      std::free);
    if (real == nullptr) {
        const int error = errno;
        return Failure{"store " + path + ": " + std::strerror(error)};
    }
    StoreLockFile lock;
    lock.path_ = std::string(real.get()) + ".lock";
    lock.reset(::open(lock.path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (lock.fd_ < 0) {
        const int error = errno;
        return Failure{"store " + path + ": cannot open " + lock.path_ + ": " + std::strerror(error)};
    }
    if (::flock(lock.fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) return Failure{"store " + path + " " + kInUse};
        return Failure{"store " + path + ": cannot lock " + lock.path_ + ": " + std::strerror(error)};
    }
    struct stat info;
    if (::fstat(lock.fd_, &info) != 0) {
        const int error = errno;
        return Failure{"store " + path + ": " + lock.path_ + ": " + std::strerror(error)};
    }
    lock.device_ = info.st_dev;
    lock.inode_ = info.st_ino;
    return lock;
}

StoreLockFile::StoreLockFile(StoreLockFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      device_(other.device_),
      inode_(other.inode_) {}

StoreLockFile& StoreLockFile::operator=(StoreLockFile&& other) noexcept {
    if (this != &other) {
        reset(std::exchange(other.fd_, -1));
        path_ = std::move(other.path_);
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

bool StoreLockFile::in_place() const {
    struct stat info;
    return ::stat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
}

void StoreLockFile::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

}  // namespace latchwork::server
