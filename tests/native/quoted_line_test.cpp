// quoted_line_test.cpp: the quoted form of reply lines, and the tables behind it.
#include "client/quoted_line.h"

#include <gtest/gtest.h>

#include <string>

#include "wire/unicode_tables.h"
#include "wire/utf8.h"
#include "print_sample.h"

namespace latchwork {
namespace {

struct Quoting {
    std::string line;
    std::string quoted;
};

void PrintTo(const Quoting& row, std::ostream* os) { print_sample(row.line, os); }

class QuotedLine : public ::testing::TestWithParam<Quoting> {};

TEST_P(QuotedLine, EscapesExactly) { EXPECT_EQ(quoted_line(GetParam().line), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(Ascii, QuotedLine, ::testing::Values(
    Quoting{"", R"("")"},
    Quoting{"{}\n", R"("{}\n")"},
    Quoting{R"({"verdict":"release"} x)" "\n", R"("{\"verdict\":\"release\"} x\n")"},
    Quoting{R"(a\b)", R"("a\\b")"},
    Quoting{std::string("\t\r\n\0", 4), R"("\t\r\n\0")"},
    Quoting{"'", R"("'")"},
    Quoting{" ~/", R"(" ~/")"},
    Quoting{"\x01\x08\x0b\x0c\x1b\x1f\x7f", R"("\u{1}\u{8}\u{b}\u{c}\u{1b}\u{1f}\u{7f}")"}));

INSTANTIATE_TEST_SUITE_P(NonAscii, QuotedLine, ::testing::Values(
    Quoting{"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80", "\"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\""},
    Quoting{"\xc2\x85", R"("\u{85}")"},              // Cc
    Quoting{"\xc2\xa0", R"("\u{a0}")"},              // Zs
    Quoting{"\xc2\xad", R"("\u{ad}")"},              // Cf
    Quoting{"\xcd\xb8", R"("\u{378}")"},             // unassigned
    Quoting{"e\xcc\x81", R"("e\u{301}")"},           // combining acute accent
    Quoting{"\xe2\x80\x8d", R"("\u{200d}")"},        // zero width joiner
    Quoting{"\xe2\x80\xa8\xe2\x80\xa9", R"("\u{2028}\u{2029}")"},
    Quoting{"\xe3\x80\x80", R"("\u{3000}")"},
    Quoting{"\xee\x80\x80", R"("\u{e000}")"},        // private use
    Quoting{"\xef\xbb\xbf", R"("\u{feff}")"},
    Quoting{"\xef\xbf\xbd", "\"\xef\xbf\xbd\""},     // the replacement character is printable
    Quoting{"\xf3\xa0\x84\x80", R"("\u{e0100}")"},   // variation selector
    Quoting{"\xf4\x8f\xbf\xbf", R"("\u{10ffff}")"},
    // Not UTF-8 (never produced by the exchange): each bad byte stands as \xHH.
    Quoting{"a\xff\xc3", R"("a\xff\xc3")"}));

TEST(UnicodeTables, WhiteSpaceIsExactlyTheUnicodeSet) {
    auto expected = [](char32_t c) {
        return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
               (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
               c == 0x205F || c == 0x3000;
    };
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        ASSERT_EQ(is_white_space(c), expected(c)) << std::hex << static_cast<unsigned>(c);
    }
}

TEST(UnicodeTables, QuotedEscapeCoversTheRangesEnds) {
    EXPECT_TRUE(needs_quoted_escape(0x0000));
    EXPECT_TRUE(needs_quoted_escape(0x001F));
    EXPECT_FALSE(needs_quoted_escape(0x0020));
    EXPECT_FALSE(needs_quoted_escape(0x007E));
    EXPECT_TRUE(needs_quoted_escape(0x007F));
    EXPECT_TRUE(needs_quoted_escape(0x009F));
    EXPECT_TRUE(needs_quoted_escape(0xD800));
    EXPECT_TRUE(needs_quoted_escape(0xDFFF));
    EXPECT_FALSE(needs_quoted_escape(0x4E00));
    EXPECT_TRUE(needs_quoted_escape(0x10FFFF));
}

struct Utf8Case {
    std::string bytes;
    bool valid;
};

class Utf8Validity : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validity, MatchesTheStrictDefinition) {
    EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Sequences, Utf8Validity, ::testing::Values(
    Utf8Case{"", true},
    Utf8Case{std::string("a\0b", 3), true},
    Utf8Case{"\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", true},
    Utf8Case{"\x80", false},
    Utf8Case{"\xc0\x80", false},          // overlong NUL
    Utf8Case{"\xc1\xbf", false},
    Utf8Case{"\xe0\x9f\xbf", false},      // overlong
    Utf8Case{"\xed\xa0\x80", false},      // surrogate
    Utf8Case{"\xf0\x8f\xbf\xbf", false},  // overlong
    Utf8Case{"\xf4\x90\x80\x80", false},  // above U+10FFFF
    Utf8Case{"\xf8\x88\x80\x80\x80", false},
    Utf8Case{"\xe2\x82", false},          // cut off
    Utf8Case{"\xe2\x28\xa1", false},
    Utf8Case{"\xff", false}));

TEST(TrimWhiteSpace, DropsUnicodeWhiteSpaceAtBothEndsOnly) {
    EXPECT_EQ(trim_white_space("\xe3\x80\x80 \t{ }\xc2\xa0\r\n"), "{ }");
    EXPECT_EQ(trim_white_space("\xe2\x80\xa8\xc2\x85"), "");
    EXPECT_EQ(trim_white_space("\xe2\x80\x8b{}"), "\xe2\x80\x8b{}");  // zero width space is not White_Space
    EXPECT_EQ(trim_white_space(" \x80"), "\x80");
    EXPECT_EQ(trim_white_space("\xa0 "), "\xa0");
    EXPECT_EQ(trim_white_space("\xff\xc2\xa0"), "\xff");
}

}  // namespace
}  // namespace latchwork
