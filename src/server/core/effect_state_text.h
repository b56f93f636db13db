// effect_state_text.h: an effect's state as text: the one spelling of the stores, notices and console.
//
// The SQLite store file, PostgreSQL's change notices, the console's run view and its
// "already decided" replies all write these names, so they are spelled once here.
#pragma once

#include <optional>
#include <string_view>

#include "gate/run_ledger.h"

namespace latchwork::server {

// "pending", "released", "rejected" or "approved"; "" for a value outside the enum.
// NUL-terminated, for the interfaces that take a C string.
const char* effect_state_text(EffectState state) noexcept;

// The state that `text` names; nullopt for any other text.
std::optional<EffectState> effect_state_from_text(std::string_view text) noexcept;

}  // namespace latchwork::server
