// decision_tag.cpp: decision message, its HMAC and the tag's hex text.
#include "hmac/decision_tag.h"

#include "hmac/hmac_sha256.h"

namespace latchwork {

std::string compute_decision_tag(std::span<const std::uint8_t> secret, std::string_view run_id,
                                 std::string_view effect_key, bool approved) {
    // Tags are computed on every client decision: the message pieces are hashed where
    // they lie, so the returned text is the only allocation.
    const std::span<const std::uint8_t> message[] = {
        byte_span(run_id),
        byte_span("\n"),
        byte_span(effect_key),
        byte_span(approved ? "\n1" : "\n0"),
    };
    const Sha256Digest tag = hmac_sha256_pieces(secret, message);

    constexpr char kHexDigits[] = "0123456789abcdef";
    std::string text(2 * tag.size(), '\0');
    for (std::size_t i = 0; i < tag.size(); ++i) {
        text[2 * i] = kHexDigits[tag[i] >> 4];
        text[2 * i + 1] = kHexDigits[tag[i] & 0x0f];
    }
    return text;
}

}  // namespace latchwork
