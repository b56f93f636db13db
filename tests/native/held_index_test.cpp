// held_index_test.cpp: the console's index of held effects and its URL decoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/core/held_index.h"
#include "server/console/url_text.h"

namespace latchwork::server {
namespace {

StateChange held(const char* run, const char* key) {
    return effect_state_change(run, key, EffectState::pending);
}

std::vector<std::string> keys(const HeldPage& page) {
    std::vector<std::string> out;
    for (const HeldEffect* held : page.items) out.push_back(held->run_id + "|" + held->effect_key);
    return out;
}

TEST(HeldIndex, FollowsTheChangesInHoldOrder) {
    HeldIndex index;
    index.apply(std::vector{held("a", "1"), held("b", "2"), held("a", "3"), held("ab", "4")}, 100);
    index.apply(std::vector{held("a", "1")}, 200);  // no move
    EXPECT_EQ(keys(index.page(10, 0, "")), (std::vector<std::string>{"a|1", "b|2", "a|3", "ab|4"}));
    EXPECT_EQ(index.page(10, 0, "").items[0]->held_at_ms, 100);
    EXPECT_EQ(keys(index.page(10, 0, "a")), (std::vector<std::string>{"a|1", "a|3", "ab|4"}));

    index.apply(std::vector{effect_state_change("b", "2", EffectState::released),
                            effect_state_change("a", "nothing", EffectState::rejected)},
                300);
    index.apply(std::vector{run_cancelled_change("a")}, 300);
    EXPECT_EQ(keys(index.page(10, 0, "")), (std::vector<std::string>{"ab|4"}));
    index.apply(std::vector{run_closed_change("ab")}, 300);
    EXPECT_EQ(index.size(), 0u);
}

TEST(HeldIndex, PagesWithACursor) {
    HeldIndex index;
    for (int i = 0; i < 5; ++i) index.hold("r", std::to_string(i), i);
    HeldPage first = index.page(2, 0, "");
    EXPECT_EQ(keys(first), (std::vector<std::string>{"r|0", "r|1"}));
    ASSERT_TRUE(first.next);
    HeldPage second = index.page(2, *first.next, "");
    EXPECT_EQ(keys(second), (std::vector<std::string>{"r|2", "r|3"}));
    HeldPage last = index.page(2, *second.next, "");
    EXPECT_EQ(keys(last), (std::vector<std::string>{"r|4"}));
    EXPECT_FALSE(last.next);
    // A page that ends exactly at the last item says so.
    EXPECT_FALSE(index.page(5, 0, "").next);
}

TEST(UrlText, PercentDecoding) {
    struct Case {
        std::string text;
        bool plus_is_space;
        std::optional<std::string> decoded;
    };
    const Case cases[] = {
        {"plain", false, "plain"},
        {"a%2Fb%3fc", false, "a/b?c"},
        {"a+b", false, "a+b"},
        {"a+b", true, "a b"},
        {"%e2%82%ac", false, "\xe2\x82\xac"},
        {"%", false, std::nullopt},
        {"%2", false, std::nullopt},
        {"%zz", false, std::nullopt},
        {"%ff", false, std::nullopt},  // not UTF-8
        {"", false, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(percent_decode(c.text, c.plus_is_space), c.decoded) << c.text;
    auto query = parse_query("limit=2&&run=a%20b&flag");
    ASSERT_TRUE(query);
    EXPECT_EQ(*query, (std::vector<std::pair<std::string, std::string>>{
                          {"limit", "2"}, {"run", "a b"}, {"flag", ""}}));
    EXPECT_FALSE(parse_query("run=%zz"));
}

}  // namespace
}  // namespace latchwork::server
