// secret_file.cpp: loading the decision secret from a file only its owner may read.
#include "server/cli/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/cli/private_file.h"
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

Failure refuse(const std::string& path, const std::string& reason) {
    return Failure{"secret file " + path + ": " + reason};
}

}  // namespace

Result<SecretBytes> load_secret_file(const std::string& path) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) return refuse(path, std::strerror(errno));
    struct stat info{};
    if (::fstat(file.get(), &info) != 0) return refuse(path, std::strerror(errno));
    if (std::optional<std::string> problem = private_file_problem(info)) return refuse(path, *problem);
    SecretBytes secret;
    secret.reserve(static_cast<std::size_t>(info.st_size) + 1);
    unsigned char chunk[4096];
    for (;;) {
        const ssize_t count = ::read(file.get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            const int saved = errno;
            secure_wipe(chunk);
            return refuse(path, std::strerror(saved));
        }
        if (count == 0) break;
        for (ssize_t i = 0; i < count; ++i) secret.push_back(chunk[i]);
    }
    secure_wipe(chunk);
    if (secret.size() == 0) return refuse(path, "empty");
    return secret;
}

}  // namespace latchwork::server
