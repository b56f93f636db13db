// webhook_signature.h: the headers that let a receiver check a notification came from this gate.
//
// The common webhook signing convention: the id, the Unix time in seconds and the body,
// joined by dots, HMAC-SHA-256 keyed with the shared secret, sent as "v1,BASE64".
// Receivers verify with the libraries written for it and drop a repeated id.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "support/result.h"
#include "support/secret_bytes.h"

namespace latchwork::server {

// "v1," and the base64 HMAC-SHA-256 of "ID.TIMESTAMP.BODY" keyed with `key`.
std::string webhook_signature(std::span<const std::uint8_t> key, std::string_view id,
                              std::int64_t timestamp_s, std::string_view body);

// The key a --notify-secret-file holds: "whsec_" followed by base64 (as receivers'
// libraries take it), or any other bytes, taken as they are.
Result<SecretBytes> webhook_key(const SecretBytes& file_bytes);

std::string base64_text(std::span<const std::uint8_t> bytes);

}  // namespace latchwork::server
