// hmac_sha256.h: HMAC-SHA-256 (RFC 2104 over the module's own SHA-256).
#pragma once

#include <cstdint>
#include <span>

#include "hmac/sha256.h"

namespace latchwork {

// The tag of a whole message; keys of any length, the empty key included.
Sha256Digest hmac_sha256(std::span<const std::uint8_t> key,
                         std::span<const std::uint8_t> message);

// The tag of the concatenation of the pieces, without gathering them into one buffer
// first: for callers whose message is a few fields and separators.
Sha256Digest hmac_sha256_pieces(std::span<const std::uint8_t> key,
                                std::span<const std::span<const std::uint8_t>> pieces);

}  // namespace latchwork
