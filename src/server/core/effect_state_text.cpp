// effect_state_text.cpp: an effect's state as text: the one spelling of the stores, notices and console.
#include "server/core/effect_state_text.h"

#include <array>
#include <utility>

namespace latchwork::server {
namespace {

// One table for both directions, so a name can never be written one way and read another.
constexpr std::array kNames = {std::pair{EffectState::pending, "pending"},
                               std::pair{EffectState::released, "released"},
                               std::pair{EffectState::rejected, "rejected"},
                               std::pair{EffectState::approved, "approved"}};

}  // namespace

const char* effect_state_text(EffectState state) noexcept {
    for (const auto& [known, name] : kNames) {
        if (known == state) return name;
    }
    return "";
}

std::optional<EffectState> effect_state_from_text(std::string_view text) noexcept {
    for (const auto& [known, name] : kNames) {
        if (text == name) return known;
    }
    return std::nullopt;
}

}  // namespace latchwork::server
