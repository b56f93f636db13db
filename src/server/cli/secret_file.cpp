// secret_file.cpp: loading the decision secret from a file only its owner may read.
#include "server/cli/secret_file.h"

#include "server/core/private_file.h"

namespace latchwork::server {
namespace {

// An HMAC key this short can be guessed off-line from one tag seen on the wire.
constexpr std::size_t kShortSecret = 16;

}  // namespace

Result<SecretBytes> load_secret_file(const std::string& path) {
    Result<SecretBytes> read = read_private_file(path);
    if (!read) return Failure{"secret file " + path + ": " + read.error()};
    if (read.value().size() == 0) return Failure{"secret file " + path + ": empty"};
    return read;
}

std::vector<std::string> secret_warnings(const SecretBytes& secret) {
    std::vector<std::string> warnings;
    if (secret.size() < kShortSecret) {
        warnings.push_back("the secret is shorter than 16 bytes (" + std::to_string(secret.size()) +
                           "); use at least 16 random bytes (head -c 32 /dev/urandom > FILE)");
    }
    if (!secret.view().empty() && secret.view().back() == '\n') {
        warnings.push_back(
            "the secret ends in a line feed, which is part of it: every client must "
            "hold it too (printf, not echo, writes a secret without one)");
    }
    return warnings;
}

}  // namespace latchwork::server
