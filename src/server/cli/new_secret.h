// new_secret.h: `latchwork-gate new-secret`: a fresh key for signing webhooks.
#pragma once

#include <string>

#include "support/result.h"

namespace latchwork::server {

// "whsec_" and the base64 of 32 bytes from the kernel's random source: the form
// --notify-secret-file and the receivers' libraries take.
Result<std::string> new_webhook_secret();

}  // namespace latchwork::server
