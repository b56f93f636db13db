// json_reader_test.cpp: the reply reader's accept/reject decisions, messages and columns.
#include "wire/json_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "client/reply.h"
#include "wire/utf8.h"
#include "print_sample.h"

namespace latchwork {
namespace {

struct Malformed {
    std::string text;
    std::string message;
};

void PrintTo(const Malformed& row, std::ostream* os) { print_sample(row.text, os); }

class MalformedReply : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedReply, FailsWithExactMessageAndColumn) {
    const Result<ReplyMembers> result = read_reply_json(GetParam().text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), GetParam().message);
}

// 1 followed by `zeros` zeros: 10^zeros as an integer text.
std::string one_then_zeros(std::size_t zeros) {
    std::string digits(zeros + 1, '0');
    digits.front() = '1';
    return digits;
}

std::string at(const std::string& description, int column) {
    return description + " at line 1 column " + std::to_string(column);
}

INSTANTIATE_TEST_SUITE_P(EndOfText, MalformedReply, ::testing::Values(
    Malformed{"", at("EOF while parsing a value", 0)},
    Malformed{" ", at("EOF while parsing a value", 1)},
    Malformed{"[", at("EOF while parsing a list", 1)},
    Malformed{"[1", at("EOF while parsing a list", 2)},
    Malformed{"[[]", at("EOF while parsing a list", 3)},
    Malformed{"[1,", at("EOF while parsing a value", 3)},
    Malformed{"[1, ", at("EOF while parsing a value", 4)},
    Malformed{"{", at("EOF while parsing an object", 1)},
    Malformed{R"({"a")", at("EOF while parsing an object", 4)},
    Malformed{R"({"a":)", at("EOF while parsing a value", 5)},
    Malformed{R"({"a":1)", at("EOF while parsing an object", 6)},
    Malformed{R"({"a":1,)", at("EOF while parsing a value", 7)},
    Malformed{R"("abc)", at("EOF while parsing a string", 4)},
    Malformed{R"({"a)", at("EOF while parsing a string", 3)},
    Malformed{R"("\)", at("EOF while parsing a string", 2)},
    Malformed{R"("\u12)", at("EOF while parsing a string", 5)},
    Malformed{R"("\u12")", at("EOF while parsing a string", 6)},
    Malformed{R"("\ud800)", at("EOF while parsing a string", 7)},
    Malformed{R"("\ud800\)", at("EOF while parsing a string", 8)},
    Malformed{"t", at("EOF while parsing a value", 1)},
    Malformed{"tru", at("EOF while parsing a value", 3)},
    Malformed{"[fals", at("EOF while parsing a value", 5)},
    Malformed{"-", at("EOF while parsing a value", 1)},
    Malformed{"1.", at("EOF while parsing a value", 2)},
    Malformed{"1e", at("EOF while parsing a value", 2)},
    Malformed{"[1E-", at("EOF while parsing a value", 4)}));

INSTANTIATE_TEST_SUITE_P(Structure, MalformedReply, ::testing::Values(
    Malformed{R"({"a" 1})", at("expected `:`", 6)},
    Malformed{R"({"a",1})", at("expected `:`", 5)},
    Malformed{"[1 2]", at("expected `,` or `]`", 4)},
    Malformed{"[1:2]", at("expected `,` or `]`", 3)},
    Malformed{R"(["a" "b"])", at("expected `,` or `]`", 6)},
    Malformed{R"({"a":1 "b":2})", at("expected `,` or `}`", 8)},
    Malformed{R"({"a":1])", at("expected `,` or `}`", 7)},
    Malformed{"{1:2}", at("key must be a string", 2)},
    Malformed{"{a:1}", at("key must be a string", 2)},
    Malformed{"{,}", at("key must be a string", 2)},
    Malformed{R"({"a":1,2:3})", at("key must be a string", 8)},
    Malformed{"[1,]", at("trailing comma", 4)},
    Malformed{"[1, ]", at("trailing comma", 5)},
    Malformed{R"({"a":1,})", at("trailing comma", 8)},
    Malformed{R"({"verdict":"release"} x)", at("trailing characters", 23)},
    Malformed{"1 2", at("trailing characters", 3)},
    Malformed{"[]]", at("trailing characters", 3)},
    Malformed{"{}}", at("trailing characters", 3)},
    Malformed{"truex", at("trailing characters", 5)},
    Malformed{R"("a"b)", at("trailing characters", 4)},
    Malformed{"{} /* c */", at("trailing characters", 4)},
    // Only JSON's own white space separates tokens; a trimmed line may still hold others.
    Malformed{"[\v1]", at("expected value", 2)},
    Malformed{"{\xc2\xa0}", at("key must be a string", 2)},
    // Line feeds cannot occur in a reply line, but the reader still counts lines.
    Malformed{"[1,\n2 3]", "expected `,` or `]` at line 2 column 3"}));

INSTANTIATE_TEST_SUITE_P(Values, MalformedReply, ::testing::Values(
    Malformed{"x", at("expected value", 1)},
    Malformed{"  x", at("expected value", 3)},
    Malformed{"]", at("expected value", 1)},
    Malformed{"[,1]", at("expected value", 2)},
    Malformed{"[1,,2]", at("expected value", 4)},
    Malformed{R"({"a":})", at("expected value", 6)},
    Malformed{"+1", at("expected value", 1)},
    Malformed{".5", at("expected value", 1)},
    Malformed{"NaN", at("expected value", 1)},
    Malformed{"'a'", at("expected value", 1)},
    Malformed{"\xc3\xa9", at("expected value", 1)},
    Malformed{"tx", at("expected ident", 2)},
    Malformed{"trUe", at("expected ident", 3)},
    Malformed{"nulx", at("expected ident", 4)},
    Malformed{"falsy", at("expected ident", 5)},
    Malformed{"[nul]", at("expected ident", 5)}));

INSTANTIATE_TEST_SUITE_P(Numbers, MalformedReply, ::testing::Values(
    Malformed{"-a", at("invalid number", 2)},
    Malformed{"- 1", at("invalid number", 2)},
    Malformed{"-Infinity", at("invalid number", 2)},
    Malformed{"01", at("invalid number", 2)},
    Malformed{"-01", at("invalid number", 3)},
    Malformed{"1.x", at("invalid number", 3)},
    Malformed{"1.e5", at("invalid number", 3)},
    Malformed{"[1.]", at("invalid number", 4)},
    Malformed{"1ex", at("invalid number", 3)},
    Malformed{"1e+x", at("invalid number", 4)},
    Malformed{"1e309", at("number out of range", 5)},
    Malformed{"-1e400", at("number out of range", 6)},
    Malformed{"[1e999]", at("number out of range", 6)},
    Malformed{"1.7976931348623159e308", at("number out of range", 22)},
    Malformed{one_then_zeros(309), at("number out of range", 310)},
    Malformed{"0.00001e314", at("number out of range", 11)},
    Malformed{R"({"a":1e99999999999999999999})", at("number out of range", 27)}));

INSTANTIATE_TEST_SUITE_P(Strings, MalformedReply, ::testing::Values(
    Malformed{R"("\x")", at("invalid escape", 3)},
    Malformed{R"("\U0041")", at("invalid escape", 3)},
    Malformed{R"("\')", at("invalid escape", 3)},
    Malformed{R"("\u12G4")", at("invalid escape", 7)},
    Malformed{R"("\u-123")", at("invalid escape", 7)},
    Malformed{std::string("\"a\x01\""), at("control character (\\u0000-\\u001F) found while parsing a string", 3)},
    Malformed{std::string("\"\t\""), at("control character (\\u0000-\\u001F) found while parsing a string", 2)},
    Malformed{std::string("[\"\x1f\"]"), at("control character (\\u0000-\\u001F) found while parsing a string", 3)},
    Malformed{std::string("\"\0\"", 3), at("control character (\\u0000-\\u001F) found while parsing a string", 2)},
    Malformed{R"("\udc00")", at("lone leading surrogate in hex escape", 7)},
    Malformed{R"("\ud800\u0041")", at("lone leading surrogate in hex escape", 13)},
    Malformed{R"("\ud800\ud800")", at("lone leading surrogate in hex escape", 13)},
    Malformed{R"("\ud800")", at("unexpected end of hex escape", 8)},
    Malformed{R"("\ud800x")", at("unexpected end of hex escape", 8)},
    Malformed{R"("\ud800\n")", at("unexpected end of hex escape", 9)},
    Malformed{R"({"verd\x":1})", at("invalid escape", 8)}));

std::string repeated(std::string_view unit, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += unit;
    return out;
}

INSTANTIATE_TEST_SUITE_P(Depth, MalformedReply, ::testing::Values(
    Malformed{repeated("[", 128), at("recursion limit exceeded", 128)},
    Malformed{repeated("[", 128) + repeated("]", 128), at("recursion limit exceeded", 128)},
    Malformed{repeated("[", 127) + "{", at("recursion limit exceeded", 128)},
    Malformed{repeated(R"({"a":)", 128), at("recursion limit exceeded", 636)},
    Malformed{repeated("[", 100000), at("recursion limit exceeded", 128)},
    // The limit is checked where a container opens, before what follows is looked at.
    Malformed{repeated("[", 127), at("EOF while parsing a list", 127)}));

TEST(ReadReplyJson, AcceptsNestingUpToTheLimit) {
    EXPECT_TRUE(read_reply_json(repeated("[", 127) + repeated("]", 127)).ok());
    EXPECT_TRUE(read_reply_json("{\"a\":" + repeated("[", 126) + repeated("]", 126) + "}").ok());
}

struct WellFormed {
    std::string text;
    bool is_object;
    std::optional<std::string> verdict;
    std::optional<std::string> message;
};

void PrintTo(const WellFormed& row, std::ostream* os) { print_sample(row.text, os); }

class WellFormedReply : public ::testing::TestWithParam<WellFormed> {};

TEST_P(WellFormedReply, ExtractsTopLevelStrings) {
    const Result<ReplyMembers> result = read_reply_json(GetParam().text);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result.value().is_object, GetParam().is_object);
    EXPECT_EQ(result.value().verdict, GetParam().verdict);
    EXPECT_EQ(result.value().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Members, WellFormedReply, ::testing::Values(
    WellFormed{R"({"verdict":"release"})", true, "release", std::nullopt},
    WellFormed{R"( {"message" : "m" , "verdict" : "error"} )", true, "error", "m"},
    WellFormed{R"({"verdict":"a","verdict":"b"})", true, "b", std::nullopt},
    WellFormed{R"({"verdict":"a","verdict":1})", true, std::nullopt, std::nullopt},
    WellFormed{R"({"verdict":"a","verdict":{"verdict":"x"}})", true, std::nullopt, std::nullopt},
    WellFormed{R"({"verdict":null,"verdict":"a"})", true, "a", std::nullopt},
    WellFormed{R"({"message":"a","message":[]})", true, std::nullopt, std::nullopt},
    WellFormed{R"({"x":{"verdict":"a","message":"b"}})", true, std::nullopt, std::nullopt},
    WellFormed{R"({"x":["verdict","a"],"Verdict":"b"})", true, std::nullopt, std::nullopt},
    WellFormed{R"({"verd\u0069ct":"r\u00e9\/"})", true, "r\xc3\xa9/", std::nullopt},
    WellFormed{R"({"verdict":"\"\\\b\f\n\r\t\u0000\u001F\ud83d\ude00\uFFFF"})", true,
               std::string("\"\\\b\f\n\r\t\0\x1f\xf0\x9f\x98\x80\xef\xbf\xbf", 16), std::nullopt},
    WellFormed{"{\"verdict\":\"\xe6\x97\xa5\x7f\"}", true, "\xe6\x97\xa5\x7f", std::nullopt},
    WellFormed{R"({"verdict":""})", true, "", std::nullopt},
    WellFormed{"{}", true, std::nullopt, std::nullopt},
    WellFormed{R"([{"verdict":"a"}])", false, std::nullopt, std::nullopt},
    WellFormed{R"("verdict")", false, std::nullopt, std::nullopt}));

INSTANTIATE_TEST_SUITE_P(Grammar, WellFormedReply, ::testing::Values(
    WellFormed{"[0,-0,1.5e3,-1E-2,0.5e+1,10,true,false,null,\"\",{},[]]", false, std::nullopt, std::nullopt},
    WellFormed{" \t\r\n{ \t\r\n} \t\r\n", true, std::nullopt, std::nullopt},
    WellFormed{"1e-400", false, std::nullopt, std::nullopt},
    WellFormed{"-0.0e-99999999999999999999", false, std::nullopt, std::nullopt},
    WellFormed{"0e99999999999999999999", false, std::nullopt, std::nullopt},
    WellFormed{"1.7976931348623158e308", false, std::nullopt, std::nullopt},
    WellFormed{"123456789012345678901234567890", false, std::nullopt, std::nullopt},
    WellFormed{one_then_zeros(308), false, std::nullopt, std::nullopt},
    WellFormed{"0.00" + one_then_zeros(400) + "e-100", false, std::nullopt, std::nullopt}));

TEST(ReadReplyJson, ReadsAnyBytesSafely) {
    // Every prefix and many random mutations of documents that reach each state must
    // fail or succeed cleanly (the sanitizer build checks that nothing reads astray).
    const std::string samples[] = {
        R"({"verdict":"r\u00e9","a":[1.5e3,-0,true,null,{"b":"\ud83d\ude00\n"}],"message":"m"})",
        std::string("{\"\xff\xfe\":\"\x80\"}"),
        std::string(100, '[') + "1e5" + std::string(100, ']'),
    };
    const char alphabet[] = "[]{}\",:\\-+.0123456789eEtrufalsn \t\x01\xc3\xa9u";
    std::mt19937 random(12345);
    for (const std::string& sample : samples) {
        for (std::size_t n = 0; n <= sample.size(); ++n) {
            (void)read_reply_json(sample.substr(0, n)).ok();
        }
        for (int round = 0; round < 3000; ++round) {
            std::string mutated = sample;
            for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
                const std::size_t at = random() % mutated.size();
                const char c = alphabet[random() % (sizeof alphabet - 1)];
                switch (random() % 3) {
                    case 0: mutated[at] = c; break;
                    case 1: mutated.insert(mutated.begin() + static_cast<std::ptrdiff_t>(at), c); break;
                    default: if (mutated.size() > 1) mutated.erase(at, 1); break;
                }
            }
            const Result<ReplyMembers> result = read_reply_json(mutated);
            if (!result.ok()) {
                // The column never points past the text.
                const std::size_t column = result.error().rfind(" column ");
                ASSERT_NE(column, std::string::npos) << result.error();
                EXPECT_LE(std::stoul(result.error().substr(column + 8)), mutated.size()) << result.error();
            }
        }
    }
}

// The public parsing corpus: every y_ file is accepted and every n_ file rejected,
// judged as the exchange judges a line (UTF-8 first, then trimming and parsing).
namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// n_ files that trimming Unicode white space off the line's ends turns acceptable.
// None in this corpus: its only such file, n_single_space, trims to an empty text.
const std::set<std::string> kAcceptedAfterTrimming = {};

// Whether the exchange would get past parsing with this reply line.
bool parses_as_reply(const std::string& line) {
    if (!is_valid_utf8(line)) return false;
    const Result<std::string> reply = interpret_reply(line);
    return reply.ok() || !reply.error().starts_with("bad gate reply ");
}

TEST(JsonParsingCorpus, AcceptsAndRejectsAsExpected) {
    const fs::path dir = fs::path(LATCHWORK_TESTDATA_DIR) / "json-test-suite" / "test_parsing";
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    int checked = 0;
    int skipped = 0;
    std::vector<std::string> unexpected;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        std::string text = read_file(entry.path());
        // Only a final line feed can end a reply line; any other one splits it.
        if (text.find('\n') != std::string::npos && text.find('\n') != text.size() - 1) {
            ++skipped;
            continue;
        }
        const bool accepted = parses_as_reply(text);
        ++checked;
        if (name.starts_with("y_") && !accepted) unexpected.push_back(name + " rejected");
        if (name.starts_with("n_") && accepted != kAcceptedAfterTrimming.contains(name)) {
            unexpected.push_back(name + (accepted ? " accepted" : " rejected"));
        }
    }
    EXPECT_EQ(unexpected, std::vector<std::string>{});
    EXPECT_GT(checked, 300);
    EXPECT_LT(skipped, 10);
}

}  // namespace
}  // namespace latchwork
