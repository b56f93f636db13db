// decision_tag.h: the tag that authenticates one approve or reject decision.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace latchwork {

// HMAC-SHA-256, keyed with the secret, of run_id "\n" effect_key "\n" "1"|"0", as 64
// lowercase hex digits. Nothing in the ids is escaped; a gate server checking tags
// must compute exactly this. Keeps no state between calls.
std::string compute_decision_tag(std::span<const std::uint8_t> secret, std::string_view run_id,
                                 std::string_view effect_key, bool approved);

}  // namespace latchwork
