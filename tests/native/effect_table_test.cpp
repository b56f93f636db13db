// effect_table_test.cpp: compact keys and one run's effect table in both of its forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gate/effect_key.h"
#include "gate/effect_table.h"

namespace latchwork {
namespace {

TEST(EffectKey, KeepsTextOnBothSidesOfTheInlineLimitAndIgnoresTheTag) {
    const std::string texts[] = {"", "a", std::string(13, 'x'), std::string(14, 'x'),
                                 std::string(15, 'x'), std::string(1000, 'y'),
                                 std::string("nul\0inside", 10)};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.size());
        EffectKey key(text, 7);
        EXPECT_EQ(key.view(), text);
        EXPECT_EQ(key.tag(), 7);
        key.set_tag(2);
        EXPECT_EQ(key.view(), text);  // the tag never shows in the text
        EXPECT_TRUE(key == KeyProbe(text));
        EXPECT_FALSE(key == KeyProbe(text + "!"));
        EXPECT_FALSE(key == KeyProbe(text.substr(0, text.size() / 2)) && !text.empty());
        EffectKey moved(std::move(key));
        EXPECT_EQ(moved.view(), text);
        EXPECT_EQ(moved.tag(), 2);
    }
    // Same length, different bytes in every position of an inline key.
    for (std::size_t i = 0; i < EffectKey::kInlineCapacity; ++i) {
        std::string other(EffectKey::kInlineCapacity, 'q');
        other[i] = 'r';
        EXPECT_FALSE(EffectKey(std::string(EffectKey::kInlineCapacity, 'q'), 0) == KeyProbe(other));
    }
}

TEST(EffectTable, FindsInsertsAndErasesAcrossTheMoveToAHashSet) {
    EffectTable table;
    std::vector<std::string> keys;
    for (int i = 0; i < 3 * static_cast<int>(EffectTable::kSmallCapacity); ++i) {
        // append, not "k" + ...: GCC 12 for Windows gives a false -Wrestrict there
        keys.push_back(i % 5 == 0 ? std::string(40, 'a') + std::to_string(i)
                                  : std::string("k").append(std::to_string(i)));
        table.insert(keys.back(), static_cast<std::uint8_t>(i % 3));
        ASSERT_EQ(table.size(), keys.size());
        for (std::size_t j = 0; j < keys.size(); ++j) {
            const EffectKey* found = table.find(keys[j]);
            ASSERT_NE(found, nullptr) << "after " << i << " lost " << keys[j];
            ASSERT_EQ(found->tag(), j % 3);
        }
        ASSERT_EQ(table.find("absent"), nullptr);
    }
    EXPECT_EQ(table.erase_if([](std::uint8_t tag) { return tag == 0; }), keys.size() / 3);
    for (std::size_t j = 0; j < keys.size(); ++j) {
        EXPECT_EQ(table.find(keys[j]) != nullptr, j % 3 != 0);
    }
    table.clear();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.find(keys[1]), nullptr);
}

TEST(EffectTable, SmallFormErasesByTag) {
    EffectTable table;
    table.insert("a", 0);
    table.insert("b", 1);
    table.insert("c", 0);
    EXPECT_EQ(table.erase_if([](std::uint8_t tag) { return tag == 0; }), 2u);
    EXPECT_EQ(table.size(), 1u);
    ASSERT_NE(table.find("b"), nullptr);
}

}  // namespace
}  // namespace latchwork
