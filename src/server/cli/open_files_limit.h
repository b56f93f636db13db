// open_files_limit.h: raising the open-files limit so many clients can connect.
#pragma once

#include <string>

namespace latchwork::server {

// Raises the soft limit on open descriptors to the hard limit. Returns a diagnostic
// when that fails, empty otherwise (the server runs on with the old limit).
std::string raise_open_files_limit();

}  // namespace latchwork::server
