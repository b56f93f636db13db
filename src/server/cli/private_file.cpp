// private_file.cpp: the check that a file holding secrets is a regular file only its owner may use.
#include "server/cli/private_file.h"

#include <cstdio>

namespace latchwork::server {

std::optional<std::string> private_file_problem(const struct stat& info) {
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    if ((info.st_mode & 077) == 0) return std::nullopt;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string("group or others may access it (mode ") + mode +
           "); allow its owner only (chmod 600)";
}

}  // namespace latchwork::server
