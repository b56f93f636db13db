// open_files_limit.cpp: raising the open-files limit so many clients can connect.
#include "server/cli/open_files_limit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace latchwork::server {

std::string raise_open_files_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::string("cannot read the open-files limit: ") + std::strerror(errno);
    }
    if (limit.rlim_cur == limit.rlim_max) return {};
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::string("cannot raise the open-files limit: ") + std::strerror(errno);
    }
    return {};
}

}  // namespace latchwork::server
