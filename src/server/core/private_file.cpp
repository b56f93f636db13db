// private_file.cpp: files that hold secrets: regular files only their owner may use.
#include "server/core/private_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/secure_wipe.h"

namespace latchwork::server {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace

std::optional<std::string> private_file_problem(const struct stat& info) {
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    if ((info.st_mode & 077) == 0) return std::nullopt;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string("group or others may access it (mode ") + mode +
           "); allow its owner only (chmod 600)";
}

Result<SecretBytes> read_private_file(const std::string& path, std::string_view open_failed) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, with
    // no word, before fstat() could tell it is no regular file. A regular file reads
    // the same either way.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) return Failure{std::string(open_failed) + std::strerror(errno)};
    struct stat info{};
    if (::fstat(file.get(), &info) != 0) return Failure{std::strerror(errno)};
    if (std::optional<std::string> problem = private_file_problem(info)) return Failure{*problem};
    SecretBytes content;
    content.reserve(static_cast<std::size_t>(info.st_size) + 1);
    unsigned char chunk[4096];
    for (;;) {
        const ssize_t count = ::read(file.get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            const int saved = errno;
            secure_wipe(chunk);
            return Failure{std::strerror(saved)};
        }
        if (count == 0) break;
        for (ssize_t i = 0; i < count; ++i) content.push_back(chunk[i]);
    }
    secure_wipe(chunk);
    return content;
}

}  // namespace latchwork::server
