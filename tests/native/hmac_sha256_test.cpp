// hmac_sha256_test.cpp: HMAC-SHA-256 against RFC 4231 and Python's hmac.
#include "hmac/hmac_sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_bytes.h"

namespace latchwork {
namespace {

using testing::bytes_of;
using testing::counting;
using testing::from_hex;
using testing::repeated;
using testing::to_hex;

struct TagCase {
    const char* name;
    std::vector<std::uint8_t> key;
    std::vector<std::uint8_t> message;
    // Compared as a prefix of the tag: RFC 4231 publishes case 5 truncated to 128 bits.
    const char* tag;
};

const TagCase kTagCases[] = {
    {"rfc4231_1", repeated(0x0b, 20), bytes_of("Hi There"),
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"rfc4231_2", bytes_of("Jefe"), bytes_of("what do ya want for nothing?"),
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {"rfc4231_3", repeated(0xaa, 20), repeated(0xdd, 50),
     "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {"rfc4231_4", from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
     repeated(0xcd, 50), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    {"rfc4231_5", repeated(0x0c, 20), bytes_of("Test With Truncation"),
     "a3b6167473100ee06e0c796c2955552b"},
    {"rfc4231_6", repeated(0xaa, 131),
     bytes_of("Test Using Larger Than Block-Size Key - Hash Key First"),
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {"rfc4231_7", repeated(0xaa, 131),
     bytes_of("This is a test using a larger than block-size key and a larger than block-size "
              "data. The key needs to be hashed before being used by the HMAC algorithm."),
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    // Python's hmac: a 64-byte key is the key block as it stands, a 65-byte one is hashed.
    {"key_64", counting(64), bytes_of("latchwork"),
     "e2b5bd652f15a8468d93b5763a72662305a634c0896b83ae5ea477921434a4b6"},
    {"key_65", counting(65), bytes_of("latchwork"),
     "840912f5974b3090177cd7ca1112047dea2a60282959bbd1fd4e66622736e9b0"},
    {"empty_key", {}, bytes_of("latchwork"),
     "e0af8073c56a2e5665f1c34e0529a7f38dc285c9c05f0f236b38798ee548549e"},
    {"empty_message", bytes_of("key"), {},
     "5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0"},
    {"both_empty", {}, {}, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
};

class HmacSha256Tags : public ::testing::TestWithParam<TagCase> {};

TEST_P(HmacSha256Tags, WholeMessage) {
    const TagCase& c = GetParam();
    EXPECT_EQ(to_hex(hmac_sha256(c.key, c.message)).substr(0, std::string_view(c.tag).size()),
              c.tag);
}

// Every split of the message into pieces, empty pieces included, gives the same tag as
// the message in one span.
TEST_P(HmacSha256Tags, AnySplitIntoPieces) {
    const TagCase& c = GetParam();
    const std::span<const std::uint8_t> message(c.message);
    const std::string whole = to_hex(hmac_sha256(c.key, c.message));
    for (std::size_t first = 0; first <= message.size(); ++first) {
        for (std::size_t second = first; second <= message.size(); second += 7) {
            const std::span<const std::uint8_t> pieces[] = {
                message.first(first), message.subspan(first, second - first), {},
                message.subspan(second)};
            ASSERT_EQ(to_hex(hmac_sha256_pieces(c.key, pieces)), whole)
                << "split at " << first << ", " << second;
        }
    }
    EXPECT_EQ(hmac_sha256_pieces(c.key, {}), hmac_sha256(c.key, {}));
}

INSTANTIATE_TEST_SUITE_P(Vectors, HmacSha256Tags, ::testing::ValuesIn(kTagCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The long-key rule: a key over 64 bytes acts as its SHA-256 digest; at 64 bytes it
// must not be hashed.
TEST(HmacSha256, LongKeyActsAsItsDigest) {
    const std::string message = "approve";
    for (const std::size_t length : {64u, 65u, 131u}) {
        const std::vector<std::uint8_t> key = counting(length);
        Sha256 context;
        context.update(key);
        const Sha256Digest digest = finalize(context);
        const bool same = hmac_sha256(key, byte_span(message)) ==
                          hmac_sha256(digest, byte_span(message));
        EXPECT_EQ(same, length > 64) << length;
    }
}

}  // namespace
}  // namespace latchwork
