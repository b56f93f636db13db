// sha256_test.cpp: digests of the streaming SHA-256 against published and hashlib values.
#include "hmac/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/internal_fault.h"
#include "test_bytes.h"

namespace latchwork {

// Reaches the buffer count to show that a corrupted one is caught, not written through.
struct Sha256TestAccess {
    static void set_buffered(Sha256& context, std::uint64_t value) { context.buffered_ = value; }
};

namespace {

using testing::to_hex;

struct DigestCase {
    const char* name;
    std::string message;
    const char* digest;
};

// FIPS 180-4 examples, then the lengths around the padding boundary (hashlib values):
// 55 bytes still take one padded block, 56..63 spill into a second, 64 is a full block.
const DigestCase kDigestCases[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"million_a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {"a55", std::string(55, 'a'),
     "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {"a56", std::string(56, 'a'),
     "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {"a63", std::string(63, 'a'),
     "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
    {"a64", std::string(64, 'a'),
     "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    {"a65", std::string(65, 'a'),
     "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
};

class Sha256Digests : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Sha256Digests, OneCall) {
    Sha256 context;
    context.update(GetParam().message);
    EXPECT_EQ(to_hex(finalize(context)), GetParam().digest);
}

TEST_P(Sha256Digests, ByteByByte) {
    Sha256 context;
    for (const char c : GetParam().message) context.update(std::string_view(&c, 1));
    EXPECT_EQ(to_hex(finalize(context)), GetParam().digest);
}

// Pieces of 0 to 150 bytes, so that buffered bytes, whole blocks straight from the
// caller and the buffer refill all meet at varying offsets.
TEST_P(Sha256Digests, SeededRandomPieces) {
    const std::string& message = GetParam().message;
    for (const unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<std::size_t> piece_length(0, 150);
        Sha256 context;
        for (std::size_t at = 0; at < message.size();) {
            const std::size_t n = std::min(piece_length(random), message.size() - at);
            context.update(std::string_view(message).substr(at, n));
            at += n;
        }
        EXPECT_EQ(to_hex(finalize(context)), GetParam().digest) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, Sha256Digests, ::testing::ValuesIn(kDigestCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Sha256, FinalizeLeavesTheContextUsable) {
    Sha256 context;
    context.update("ab");
    EXPECT_EQ(to_hex(finalize(context)),
              "fb8e20fc2e4c3f248c60c39bd652f3c1347298bb977b8b4d5903b85055620603");
    context.update("c");
    EXPECT_EQ(to_hex(finalize(context)),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// A default span has a null data pointer; with bytes buffered it reaches the copy
// (the sanitizer build catches a null memcpy source).
TEST(Sha256, EmptyUpdateChangesNothing) {
    Sha256 context;
    context.update("ab");
    context.update(std::span<const std::uint8_t>{});
    context.update(std::string_view{});
    EXPECT_EQ(to_hex(finalize(context)),
              "fb8e20fc2e4c3f248c60c39bd652f3c1347298bb977b8b4d5903b85055620603");
}

TEST(Sha256, CorruptedBufferCountIsAFaultNotAnOverrun) {
    for (const std::uint64_t bad : {std::uint64_t{64}, std::uint64_t{200}}) {
        Sha256 context;
        Sha256TestAccess::set_buffered(context, bad);
        EXPECT_THROW(context.update("x"), InternalFault) << bad;
    }
}

}  // namespace
}  // namespace latchwork
