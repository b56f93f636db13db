// sqlite_journal_codec.h: a batch's changes as the store file's journal holds them, one blob per commit.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "gate/run_ledger.h"
#include "server/core/state_change.h"

namespace latchwork::server {

// Appends `change` to the batch `out`, in the layout the journal table's comment gives
// (sqlite_schema.cpp).
void encode_change(std::string& out, const StateChange& change);

// One change read back from a batch; its bytes are the batch's.
struct JournalChange {
    StateChange::Kind kind;
    std::string_view run_id;
    std::string_view effect_key;               // effect_state only
    EffectState state = EffectState::pending;  // effect_state only
    std::string_view detail;                   // a hold's detail; empty for none
};

// Reads a batch's changes, in order.
class JournalBatchReader {
public:
    explicit JournalBatchReader(std::string_view batch) : rest_(batch) {}
    bool done() const { return rest_.empty(); }

    // The next change; nullopt for bytes that no program of this version writes.
    std::optional<JournalChange> next();

private:
    std::optional<unsigned char> byte();
    std::optional<std::string_view> bytes();

    std::string_view rest_;
};

}  // namespace latchwork::server
