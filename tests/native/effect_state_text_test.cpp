// effect_state_text_test.cpp: the states' texts, as store files and notices keep them, read back.
#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <utility>

#include "server/core/effect_state_text.h"

namespace latchwork::server {
namespace {

TEST(EffectStateText, EachStateIsWrittenAsStoredAndReadBack) {
    const std::pair<EffectState, std::string_view> kept[] = {{EffectState::pending, "pending"},
                                                             {EffectState::released, "released"},
                                                             {EffectState::rejected, "rejected"},
                                                             {EffectState::approved, "approved"}};
    for (const auto& [state, text] : kept) {
        EXPECT_EQ(effect_state_text(state), text);
        EXPECT_EQ(effect_state_from_text(text), state) << text;
    }
    // A person may be told "cancelled", and the console lists "held": neither is a state.
    for (const std::string_view other : {"", "held", "Pending", "cancelled", "released "}) {
        EXPECT_EQ(effect_state_from_text(other), std::nullopt) << other;
    }
}

}  // namespace
}  // namespace latchwork::server
