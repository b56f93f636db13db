// top_level_members_test.cpp: which value each wanted top-level member ends up with.
#include <gtest/gtest.h>

#include <string>

#include "wire/json_reader.h"

namespace latchwork {
namespace {

constexpr std::string_view kWanted[] = {"a", "b"};

using Type = MemberValue::Type;

TopLevelMembers read(std::string_view text) {
    Result<TopLevelMembers> result = read_top_level_members(text, kWanted);
    EXPECT_TRUE(result.ok()) << result.error();
    return result.ok() ? std::move(result).value() : TopLevelMembers{};
}

TEST(TopLevelMembers, TypesOfTheLastValue) {
    const TopLevelMembers members = read(R"({"a":"x\u00e9","b":true,"c":"ignored"})");
    ASSERT_TRUE(members.is_object);
    ASSERT_EQ(members.values.size(), 2u);
    EXPECT_EQ(members.values[0]->type, Type::string);
    EXPECT_EQ(members.values[0]->text, "x\xc3\xa9");
    EXPECT_EQ(members.values[1]->type, Type::boolean);
    EXPECT_TRUE(members.values[1]->flag);

    for (const char* text : {R"({"a":1})", R"({"a":null})", R"({"a":[]})", R"({"a":{"a":"x"}})",
                             R"({"a":"x","a":-0.5e3})"}) {
        const TopLevelMembers other = read(text);
        ASSERT_TRUE(other.values[0]) << text;
        EXPECT_EQ(other.values[0]->type, Type::other) << text;
        EXPECT_FALSE(other.values[1]) << text;
    }
    const TopLevelMembers last = read(R"({"b":"x","b":false,"a":true,"a":"y"})");
    EXPECT_EQ(last.values[0]->type, Type::string);
    EXPECT_EQ(last.values[0]->text, "y");
    EXPECT_EQ(last.values[1]->type, Type::boolean);
    EXPECT_FALSE(last.values[1]->flag);
}

TEST(TopLevelMembers, NestedMembersAndNonObjectsCountForNothing) {
    const TopLevelMembers nested = read(R"({"x":{"a":"inner","b":true}})");
    EXPECT_TRUE(nested.is_object);
    EXPECT_FALSE(nested.values[0]);
    EXPECT_FALSE(nested.values[1]);
    const TopLevelMembers array = read(R"(["a","b"])");
    EXPECT_FALSE(array.is_object);
    EXPECT_FALSE(array.values[0]);
}

TEST(TopLevelMembers, MalformedTextsFailAsTheReplyReaderDoes) {
    for (const char* text : {"", "{", R"({"a":tru})", R"({"a":"x",})", "{} x"}) {
        const Result<TopLevelMembers> members = read_top_level_members(text, kWanted);
        const Result<ReplyMembers> reply = read_reply_json(text);
        ASSERT_FALSE(members.ok()) << text;
        ASSERT_FALSE(reply.ok()) << text;
        EXPECT_EQ(members.error(), reply.error()) << text;
    }
}

}  // namespace
}  // namespace latchwork
