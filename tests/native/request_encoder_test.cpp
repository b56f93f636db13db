// request_encoder_test.cpp: the exact request texts and the string escaping table.
#include "client/request_encoder.h"
#include "wire/json_string.h"

#include <gtest/gtest.h>

#include <string>

#include "wire/json_reader.h"
#include "print_sample.h"

namespace latchwork {
namespace {

TEST(RequestEncoder, WritesEachRequestWithSortedMembers) {
    EXPECT_EQ(kPingRequest, R"({"op":"ping"})");
    EXPECT_EQ(encode_cancel("r1"), R"({"op":"cancel","run_id":"r1"})");
    EXPECT_EQ(encode_submit("r1", "e7", false),
              R"({"effect_key":"e7","needs_approval":false,"op":"submit","run_id":"r1"})");
    EXPECT_EQ(encode_submit("r1", "e7", true),
              R"({"effect_key":"e7","needs_approval":true,"op":"submit","run_id":"r1"})");
    EXPECT_EQ(encode_decide("r1", "email:42", true, std::nullopt),
              R"({"approved":true,"effect_key":"email:42","op":"decide","run_id":"r1"})");
    EXPECT_EQ(encode_decide("", "", false, std::string_view("00ff")),
              R"({"approved":false,"effect_key":"","mac":"00ff","op":"decide","run_id":""})");
    // An empty tag is still a tag: the member is there.
    EXPECT_EQ(encode_decide("r", "e", true, std::string_view()),
              R"({"approved":true,"effect_key":"e","mac":"","op":"decide","run_id":"r"})");
}

struct Escape {
    std::string raw;
    std::string written;
};

void PrintTo(const Escape& row, std::ostream* os) { print_sample(row.raw, os); }

class StringEscaping : public ::testing::TestWithParam<Escape> {};

TEST_P(StringEscaping, FollowsTheTable) {
    std::string out;
    append_json_string(out, GetParam().raw);
    EXPECT_EQ(out, "\"" + GetParam().written + "\"");
}

INSTANTIATE_TEST_SUITE_P(Table, StringEscaping, ::testing::Values(
    Escape{"", ""},
    Escape{"\"", R"(\")"},
    Escape{"\\", R"(\\)"},
    Escape{"\b\t\n\f\r", R"(\b\t\n\f\r)"},
    Escape{std::string("\0", 1), R"(\u0000)"},
    Escape{"\x01\x07\x0b\x0e\x1a\x1f", R"(\u0001\u0007\u000b\u000e\u001a\u001f)"},
    Escape{"/\x7f \x20~", "/\x7f  ~"},
    Escape{"\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80"},
    Escape{"a\"b\\c\nd\x1f" "e", R"(a\"b\\c\nd\u001fe)"}));

TEST(RequestEncoder, EscapesRunIdAndEffectKeyInPlace) {
    EXPECT_EQ(encode_cancel("q\"b\\n\n\x1f/\xc3\xa9"),
              R"({"op":"cancel","run_id":"q\"b\\n\n\u001f/)" "\xc3\xa9" R"("})");
}

TEST(RequestEncoder, EveryByteSurvivesAReadBack) {
    // All 128 ASCII characters and a few multi-byte ones, read back by the reply reader.
    std::string all;
    for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
    all += "\xc3\xa9\xe2\x80\xa8\xf4\x8f\xbf\xbf";
    std::string document = "{\"verdict\":";
    append_json_string(document, all);
    document += "}";
    const Result<ReplyMembers> read = read_reply_json(document);
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(read.value().verdict, all);
}

}  // namespace
}  // namespace latchwork
