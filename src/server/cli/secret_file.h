// secret_file.h: loading the decision secret from a file only its owner may read.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"
#include "support/secret_bytes.h"

namespace latchwork::server {

// The file's raw bytes, wiped when the result goes. Refused when the file cannot be
// read, is empty, is not a regular file (a FIFO is refused at once, never waited on),
// or grants group or others any access.
Result<SecretBytes> load_secret_file(const std::string& path);

// What is weak about a secret that was taken all the same, one line each: fewer than
// 16 bytes, or a last byte that is a line feed (an editor's, most likely, which every
// client must then hold too).
std::vector<std::string> secret_warnings(const SecretBytes& secret);

}  // namespace latchwork::server
