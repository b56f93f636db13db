// decision_tag_test.cpp: decision tags against Python's hmac over the decision message.
#include "hmac/decision_tag.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hmac/hmac_sha256.h"
#include "test_bytes.h"

namespace latchwork {
namespace {

using testing::bytes_of;
using testing::counting;

struct DecisionCase {
    const char* name;
    std::vector<std::uint8_t> secret;
    std::string run_id;
    std::string effect_key;
    bool approved;
    const char* tag;  // hmac.new(secret, f"{run_id}\n{effect_key}\n{1 or 0}", sha256)
};

const DecisionCase kDecisionCases[] = {
    {"approve", bytes_of("s3cret"), "r1", "e7", true,
     "84fad5144caad9521d6f3ed917f4184a983e71a9b22a5e8cfabfccc752aa3603"},
    {"reject", bytes_of("s3cret"), "r1", "e7", false,
     "e68546d673cdbf96c38743a3374bd38667c877c394078b929670cc96eae0d76b"},
    {"all_empty", {}, "", "", false,
     "307f86635b7bcd435f0b0df6ac9ad9336283fa1e353caa5cb5a0103440e3f6da"},
    // A 100-byte secret (hashed first), UTF-8 in the run id, a message over one block.
    {"long_everything", counting(100), "run-\u00e9\u4e2d", "effect/" + std::string(80, 'x'), true,
     "7cde78eaa759ab4e0043d407025632c7756ddfcebae783234f0a9dafe3e9fa82"},
    // Nothing is escaped: a line feed at the end of the run id or the start of the
    // effect key gives the same message and so the same tag.
    {"newline_in_run_id", bytes_of("s3cret"), "r1\n", "e7", true,
     "d1f96743666f6ed1d8d55596eaec606b2e1b63328a8112bfc15aff1d78d2c5e3"},
    {"newline_in_effect_key", bytes_of("s3cret"), "r1", "\ne7", true,
     "d1f96743666f6ed1d8d55596eaec606b2e1b63328a8112bfc15aff1d78d2c5e3"},
};

class DecisionTags : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(DecisionTags, MatchHmacOfTheDecisionMessage) {
    const DecisionCase& c = GetParam();
    EXPECT_EQ(compute_decision_tag(c.secret, c.run_id, c.effect_key, c.approved), c.tag);
}

INSTANTIATE_TEST_SUITE_P(Decisions, DecisionTags, ::testing::ValuesIn(kDecisionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The text form on its own: 64 digits, lowercase, and the digit split of every byte
// value (leading zeros included) agreeing with an independent hex encoder.
TEST(DecisionTag, TextIsTheTagInLowercaseHex) {
    const std::vector<std::uint8_t> secret = bytes_of("k");
    for (int i = 0; i < 64; ++i) {
        const std::string run_id = std::to_string(i);
        const bool approved = i % 2 == 0;
        const std::string text = compute_decision_tag(secret, run_id, "e", approved);
        std::string message = run_id;
        message += approved ? "\ne\n1" : "\ne\n0";
        EXPECT_EQ(text, testing::to_hex(hmac_sha256(secret, byte_span(message))));
        EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace latchwork
