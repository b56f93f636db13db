// sha256.cpp: block compression, buffering and padding of the streaming SHA-256.
#include "hmac/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "support/secure_wipe.h"
#include "support/internal_fault.h"

namespace latchwork {
namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t byteswap32(std::uint32_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap32(v);
#else
    return (v << 24) | ((v << 8) & 0x00ff0000u) | ((v >> 8) & 0x0000ff00u) | (v >> 24);
#endif
}

inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return std::endian::native == std::endian::little ? byteswap32(v) : v;
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
    if constexpr (std::endian::native == std::endian::little) v = byteswap32(v);
    std::memcpy(p, &v, sizeof v);
}

// The big sigmas nest their rotations (2, 13, 22 = 2, 2+11, 2+11+9; likewise 6, 11,
// 25) so that each takes three rotates on one chain instead of three copies.
inline std::uint32_t big_sigma0(std::uint32_t x) noexcept {
    return std::rotr(x ^ std::rotr(x ^ std::rotr(x, 9), 11), 2);
}
inline std::uint32_t big_sigma1(std::uint32_t x) noexcept {
    return std::rotr(x ^ std::rotr(x ^ std::rotr(x, 14), 5), 6);
}
inline std::uint32_t small_sigma0(std::uint32_t x) noexcept {
    return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3);
}
inline std::uint32_t small_sigma1(std::uint32_t x) noexcept {
    return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10);
}
// Ch and Maj in forms with fewer operations than the textbook ones; in the unrolled
// rounds, Maj's y ^ z is the previous round's x ^ y, which the compiler reuses.
inline std::uint32_t choose(std::uint32_t x, std::uint32_t y, std::uint32_t z) noexcept {
    return z ^ (x & (y ^ z));
}
inline std::uint32_t majority(std::uint32_t x, std::uint32_t y, std::uint32_t z) noexcept {
    return ((x ^ y) & (y ^ z)) ^ y;
}

// The rounds are unrolled so that the eight working variables never move: each round
// names them rotated by one instead, and the message schedule lives in a sixteen-word
// ring that is extended in place, W[t] overwriting W[t-16].
#define LW_LOAD(t) (w[t] = load_be32(block + 4 * (t)))
#define LW_EXTEND(t)                                                                  \
    (w[(t) & 15] += small_sigma1(w[((t) - 2) & 15]) + w[((t) - 7) & 15] +             \
                    small_sigma0(w[((t) - 15) & 15]))
#define LW_ROUND(a, b, c, d, e, f, g, h, t, word)                                     \
    do {                                                                              \
        const std::uint32_t t1 = h + big_sigma1(e) + choose(e, f, g) +                \
                                 kRoundConstants[t] + (word);                         \
        d += t1;                                                                      \
        h = t1 + big_sigma0(a) + majority(a, b, c);                                   \
    } while (0)
#define LW_ROUNDS8(t, WORD)                                                           \
    LW_ROUND(a, b, c, d, e, f, g, h, (t) + 0, WORD((t) + 0));                         \
    LW_ROUND(h, a, b, c, d, e, f, g, (t) + 1, WORD((t) + 1));                         \
    LW_ROUND(g, h, a, b, c, d, e, f, (t) + 2, WORD((t) + 2));                         \
    LW_ROUND(f, g, h, a, b, c, d, e, (t) + 3, WORD((t) + 3));                         \
    LW_ROUND(e, f, g, h, a, b, c, d, (t) + 4, WORD((t) + 4));                         \
    LW_ROUND(d, e, f, g, h, a, b, c, (t) + 5, WORD((t) + 5));                         \
    LW_ROUND(c, d, e, f, g, h, a, b, (t) + 6, WORD((t) + 6));                         \
    LW_ROUND(b, c, d, e, f, g, h, a, (t) + 7, WORD((t) + 7))

void compress(std::array<std::uint32_t, 8>& state, const std::uint8_t* block) noexcept {
    std::uint32_t w[16];
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];

    LW_ROUNDS8(0, LW_LOAD);
    LW_ROUNDS8(8, LW_LOAD);
    LW_ROUNDS8(16, LW_EXTEND);
    LW_ROUNDS8(24, LW_EXTEND);
    LW_ROUNDS8(32, LW_EXTEND);
    LW_ROUNDS8(40, LW_EXTEND);
    LW_ROUNDS8(48, LW_EXTEND);
    LW_ROUNDS8(56, LW_EXTEND);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

#undef LW_ROUNDS8
#undef LW_ROUND
#undef LW_EXTEND
#undef LW_LOAD

// 0x80 and then as many zeros as any message length can need (at most 63 more).
constexpr std::array<std::uint8_t, kSha256BlockSize> kPadding{0x80};

}  // namespace

void Sha256::update(std::span<const std::uint8_t> data) {
    // An empty span may carry a null pointer, which memcpy must not be given even
    // for zero bytes.
    if (data.empty()) return;
    total_length_ += data.size();
    const std::uint8_t* next = data.data();
    std::size_t remaining = data.size();

    if (buffered_ != 0) {
        const std::size_t room = kSha256BlockSize - buffered_;
        const std::size_t n = std::min(room, remaining);
        if (buffered_ >= kSha256BlockSize || n > kSha256BlockSize - buffered_) {
            throw InternalFault("sha256: block buffer overrun");
        }
        std::memcpy(block_.data() + buffered_, next, n);
        buffered_ += n;
        next += n;
        remaining -= n;
        if (buffered_ < kSha256BlockSize) return;
        compress(state_, block_.data());
        buffered_ = 0;
    }
    for (; remaining >= kSha256BlockSize; remaining -= kSha256BlockSize) {
        compress(state_, next);
        next += kSha256BlockSize;
    }
    if (remaining != 0) {
        std::memcpy(block_.data(), next, remaining);
        buffered_ = remaining;
    }
}

Sha256Digest finalize(Sha256 context) {
    const std::uint64_t bit_length = context.total_length_ * 8;

    // 0x80, then zeros until 56 bytes of the last block are used, then the bit length:
    // the same bytes the one-at-a-time padding would feed, in two calls to update.
    const std::size_t pad_length =
        (kSha256BlockSize + 55 - context.buffered_) % kSha256BlockSize + 1;
    context.update(std::span(kPadding.data(), pad_length));
    std::uint8_t length_bytes[8];
    store_be32(length_bytes, static_cast<std::uint32_t>(bit_length >> 32));
    store_be32(length_bytes + 4, static_cast<std::uint32_t>(bit_length));
    context.update(std::span<const std::uint8_t>(length_bytes));

    Sha256Digest digest;
    for (std::size_t i = 0; i < context.state_.size(); ++i) {
        store_be32(digest.data() + 4 * i, context.state_[i]);
    }
    // The copy may carry state derived from a key (the inner hash of an HMAC).
    secure_wipe(context);
    return digest;
}

}  // namespace latchwork
