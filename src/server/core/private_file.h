// private_file.h: files that hold secrets: regular files only their owner may use.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "support/result.h"
#include "support/secret_bytes.h"

namespace latchwork::server {

// Why `info` does not describe such a file ("not a regular file", or the mode that lets
// group or others in), or nullopt when it does.
std::optional<std::string> private_file_problem(const struct stat& info);

// The whole content of such a file, wiped when the result goes. The failure is the
// reason alone (the system's error text, after `open_failed` when the file could not
// be opened, or the problem above), for the caller to prefix. A FIFO, a device or a directory is refused without a single read, so that
// start-up never waits on a file that does not end.
Result<SecretBytes> read_private_file(const std::string& path, std::string_view open_failed = {});

}  // namespace latchwork::server
