// private_file.h: the check that a file holding secrets is a regular file only its owner may use.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

namespace latchwork::server {

// Why `info` does not describe such a file ("not a regular file", or the mode that lets
// group or others in), or nullopt when it does.
std::optional<std::string> private_file_problem(const struct stat& info);

}  // namespace latchwork::server
