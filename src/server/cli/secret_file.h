// secret_file.h: loading the decision secret from a file only its owner may read.
#pragma once

#include <string>

#include "support/result.h"
#include "support/secret_bytes.h"

namespace latchwork::server {

// The file's raw bytes, wiped when the result goes. Refused when the file cannot be
// read, is empty, is not a regular file, or grants group or others any access.
Result<SecretBytes> load_secret_file(const std::string& path);

}  // namespace latchwork::server
