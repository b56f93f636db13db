// sha256.h: the module's own streaming SHA-256 (FIPS 180-4), a plain copyable value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace latchwork {

inline constexpr std::size_t kSha256BlockSize = 64;
inline constexpr std::size_t kSha256DigestSize = 32;

using Sha256Digest = std::array<std::uint8_t, kSha256DigestSize>;

// The bytes of a text (UTF-8 in this module), as the hash and HMAC take them.
inline std::span<const std::uint8_t> byte_span(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Owns no heap memory and never allocates, so a context may live on the stack, be
// copied freely (finalize works on a copy) and be used on any thread.
class Sha256 {
public:
    Sha256() = default;

    void update(std::span<const std::uint8_t> data);
    void update(std::string_view text) { update(byte_span(text)); }

    // Takes the context by value: the caller's context stays usable for more input.
    friend Sha256Digest finalize(Sha256 context);

private:
    friend struct Sha256TestAccess;  // defined only by the unit tests, to corrupt buffered_

    // Bytes of the current, incomplete block; only the first buffered_ are valid.
    std::array<std::uint8_t, kSha256BlockSize> block_{};
    std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::uint64_t total_length_ = 0;  // message bytes so far, modulo 2^64
    std::uint64_t buffered_ = 0;      // 0..63 between calls
};

Sha256Digest finalize(Sha256 context);

}  // namespace latchwork
