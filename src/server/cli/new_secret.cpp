// new_secret.cpp: `latchwork-gate new-secret`: a fresh key for signing webhooks.
#include "server/cli/new_secret.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "server/notify/webhook_signature.h"

namespace latchwork::server {

Result<std::string> new_webhook_secret() {
    std::array<std::uint8_t, 32> key{};
    std::size_t filled = 0;
    while (filled < key.size()) {
        const ssize_t got = getrandom(key.data() + filled, key.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Failure{std::string("cannot read random bytes: ") + std::strerror(errno)};
        }
        filled += static_cast<std::size_t>(got);
    }
    return "whsec_" + base64_text(key);
}

}  // namespace latchwork::server
