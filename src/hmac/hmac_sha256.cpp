// hmac_sha256.cpp: key block, pads and the inner and outer hashes of HMAC-SHA-256.
#include "hmac/hmac_sha256.h"

#include <array>
#include <cstring>

#include "support/secure_wipe.h"

namespace latchwork {
namespace {

// Everything on the stack from which the key could be recovered or a tag forged: the
// key block, the pads and the contexts that have absorbed a pad. Gathered in one
// place so that one destructor wipes all of it, on every way out.
struct KeyMaterial {
    std::array<std::uint8_t, kSha256BlockSize> key_block{};
    std::array<std::uint8_t, kSha256BlockSize> pad;
    Sha256 key_hash;
    Sha256Digest key_digest;
    Sha256 inner;
    Sha256Digest inner_digest;
    Sha256 outer;

    KeyMaterial() = default;
    KeyMaterial(const KeyMaterial&) = delete;
    KeyMaterial& operator=(const KeyMaterial&) = delete;
    ~KeyMaterial() { secure_wipe(this, sizeof *this); }
};

void xor_pad(KeyMaterial& m, std::uint8_t value) noexcept {
    for (std::size_t i = 0; i < kSha256BlockSize; ++i) m.pad[i] = m.key_block[i] ^ value;
}

}  // namespace

Sha256Digest hmac_sha256_pieces(std::span<const std::uint8_t> key,
                                std::span<const std::span<const std::uint8_t>> pieces) {
    KeyMaterial m;
    if (key.size() > kSha256BlockSize) {
        m.key_hash.update(key);
        m.key_digest = finalize(m.key_hash);
        std::memcpy(m.key_block.data(), m.key_digest.data(), m.key_digest.size());
    } else if (!key.empty()) {
        std::memcpy(m.key_block.data(), key.data(), key.size());
    }

    xor_pad(m, 0x36);
    m.inner.update(m.pad);
    for (const auto piece : pieces) m.inner.update(piece);
    m.inner_digest = finalize(m.inner);

    xor_pad(m, 0x5c);
    m.outer.update(m.pad);
    m.outer.update(m.inner_digest);
    return finalize(m.outer);
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key,
                         std::span<const std::uint8_t> message) {
    return hmac_sha256_pieces(key, std::span(&message, 1));
}

}  // namespace latchwork
