// reply_test.cpp: from a reply line to a verdict kind or the exact failure text.
#include "client/reply.h"

#include <gtest/gtest.h>

#include <string>
#include "print_sample.h"

namespace latchwork {
namespace {

struct Reply {
    std::string line;
    bool ok;
    std::string text;  // the kind, or the failure message
};

void PrintTo(const Reply& row, std::ostream* os) { print_sample(row.line, os); }

class InterpretReply : public ::testing::TestWithParam<Reply> {};

TEST_P(InterpretReply, GivesKindOrExactFailure) {
    const Result<std::string> result = interpret_reply(GetParam().line);
    ASSERT_EQ(result.ok(), GetParam().ok) << (result.ok() ? result.value() : result.error());
    EXPECT_EQ(result.ok() ? result.value() : result.error(), GetParam().text);
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

INSTANTIATE_TEST_SUITE_P(Kinds, InterpretReply, ::testing::Values(
    Reply{"{\"verdict\":\"release\"}\r\n", true, "release"},
    Reply{"   {\"verdict\":\"held_for_approval\"}\n", true, "held_for_approval"},
    Reply{"{\"verdict\":\"release\"}", true, "release"},
    Reply{"{\"verdict\":\"refused_duplicate\",\"verdict\":\"release\"}\n", true, "release"},
    Reply{"{\"verdict\":\"Error\"}\n", true, "Error"},
    Reply{"{\"verdict\":\"\"}\n", true, ""},
    Reply{"{\"verdict\":\"pong\",\"message\":\"ignored\",\"extra\":[1,{}]}\n", true, "pong"},
    Reply{"\xe3\x80\x80{\"verdict\":\"r\\u00e9\"}\xc2\xa0\n", true, "r\xc3\xa9"},
    Reply{"{\"verdict\":\"error \"}\n", true, "error "}));

INSTANTIATE_TEST_SUITE_P(GateErrors, InterpretReply, ::testing::Values(
    Reply{"{\"verdict\":\"error\"}\n", false, "gate error: ?"},
    Reply{"{\"verdict\":\"error\",\"message\":5}\n", false, "gate error: ?"},
    Reply{"{\"verdict\":\"error\",\"message\":\"x\",\"message\":null}\n", false, "gate error: ?"},
    Reply{"{\"verdict\":\"error\",\"message\":\"run unknown\"}\n", false, "gate error: run unknown"},
    Reply{"{\"message\":\"a \\\"b\\\"\\nc\\u0000\",\"verdict\":\"error\"}\n", false,
          std::string("gate error: a \"b\"\nc\0", 20)},
    Reply{"{\"verdict\":\"\\u0065rror\",\"message\":\"\"}\n", false, "gate error: "}));

INSTANTIATE_TEST_SUITE_P(MissingVerdict, InterpretReply, ::testing::Values(
    Reply{"[]\n", false, "gate reply missing verdict: \"[]\\n\""},
    Reply{"\"release\"\n", false, "gate reply missing verdict: \"\\\"release\\\"\\n\""},
    Reply{"{}\n", false, "gate reply missing verdict: \"{}\\n\""},
    Reply{"{\"verdict\":1}\n", false, "gate reply missing verdict: \"{\\\"verdict\\\":1}\\n\""},
    Reply{"{\"verdict\":\"release\",\"verdict\":null}", false,
          "gate reply missing verdict: \"{\\\"verdict\\\":\\\"release\\\",\\\"verdict\\\":null}\""},
    Reply{"{\"x\":{\"verdict\":\"release\"}}\r\n", false,
          "gate reply missing verdict: \"{\\\"x\\\":{\\\"verdict\\\":\\\"release\\\"}}\\r\\n\""},
    Reply{"\xe3\x80\x80{}\n", false, "gate reply missing verdict: \"\\u{3000}{}\\n\""},
    Reply{nested(127) + "\n", false, "gate reply missing verdict: \"" + nested(127) + "\\n\""}));

INSTANTIATE_TEST_SUITE_P(BadReply, InterpretReply, ::testing::Values(
    Reply{"\n", false, "bad gate reply \"\\n\": EOF while parsing a value at line 1 column 0"},
    Reply{"", false, "bad gate reply \"\": EOF while parsing a value at line 1 column 0"},
    Reply{" \t\r\n", false, "bad gate reply \" \\t\\r\\n\": EOF while parsing a value at line 1 column 0"},
    Reply{"{\"verdict\":\"release\"} x\n", false,
          "bad gate reply \"{\\\"verdict\\\":\\\"release\\\"} x\\n\": trailing characters at line 1 column 23"},
    // Columns count bytes of the trimmed text; the quoted line is the untrimmed one.
    Reply{"\xc2\xa0  [1,]\n", false, "bad gate reply \"\\u{a0}  [1,]\\n\": trailing comma at line 1 column 4"},
    Reply{"[\"\xc3\xa9\" 1]\n", false,
          "bad gate reply \"[\\\"\xc3\xa9\\\" 1]\\n\": expected `,` or `]` at line 1 column 7"},
    Reply{"{'verdict':'release'}\n", false,
          "bad gate reply \"{'verdict':'release'}\\n\": key must be a string at line 1 column 2"},
    Reply{std::string(128, '[') + "\n", false,
          "bad gate reply \"" + std::string(128, '[') + "\\n\": recursion limit exceeded at line 1 column 128"},
    Reply{std::string("{\"verdict\":\"a\tb\"}\n"), false,
          "bad gate reply \"{\\\"verdict\\\":\\\"a\\tb\\\"}\\n\": "
          "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 14"}));

TEST(InterpretReply, ReadsALongLineWhole) {
    const std::string kind(100000 - 15, 'k');
    const std::string line = "{\"verdict\":\"" + kind + "\"}\n";
    ASSERT_EQ(line.size(), 100000u);
    const Result<std::string> result = interpret_reply(line);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), kind);
}

}  // namespace
}  // namespace latchwork
