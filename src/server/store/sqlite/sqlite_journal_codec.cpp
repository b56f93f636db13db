// sqlite_journal_codec.cpp: a batch's changes as the store file's journal holds them, one blob per commit.
#include "server/store/sqlite/sqlite_journal_codec.h"

#include <cstdint>

namespace latchwork::server {
namespace {

// One blob per commit, so that a commit costs one row whatever the number of changes
// in it. A hold with a detail is a kind of its own rather than a field added to kind 1,
// so that every row a version 2 program wrote still reads as it did: its kinds and
// state codes mean the same here.
constexpr unsigned char kEffectChange = 1, kCancelChange = 2, kCloseChange = 3,
                        kHeldWithDetail = 4;

// pending 1, released 2, rejected 3, approved 4: the enum's order, from 1.
unsigned char state_code(EffectState state) { return static_cast<unsigned char>(state) + 1; }

std::optional<EffectState> state_from_code(unsigned char code) {
    if (code < 1 || code > 4) return std::nullopt;
    return static_cast<EffectState>(code - 1);
}

void put_bytes(std::string& out, std::string_view bytes) {
    const auto size = static_cast<std::uint32_t>(bytes.size());
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((size >> shift) & 0xff);
    out += bytes;
}

}  // namespace

void encode_change(std::string& out, const StateChange& change) {
    switch (change.kind) {
        case StateChange::Kind::effect_state:
            if (change.state == EffectState::pending && !change.detail.empty()) {
                out += static_cast<char>(kHeldWithDetail);
                put_bytes(out, change.run_id);
                put_bytes(out, change.effect_key);
                put_bytes(out, change.detail);
                return;
            }
            out += static_cast<char>(kEffectChange);
            out += static_cast<char>(state_code(change.state));
            put_bytes(out, change.run_id);
            put_bytes(out, change.effect_key);
            return;
        case StateChange::Kind::run_cancelled:
            out += static_cast<char>(kCancelChange);
            put_bytes(out, change.run_id);
            return;
        case StateChange::Kind::run_closed:
            out += static_cast<char>(kCloseChange);
            put_bytes(out, change.run_id);
            return;
        case StateChange::Kind::approval_recorded:
            return;  // never journalled: its audit entry keeps it (SqliteFile::append)
    }
}

std::optional<JournalChange> JournalBatchReader::next() {
    const std::optional<unsigned char> kind = byte();
    if (kind == kEffectChange) {
        const auto state = state_from_code(byte().value_or(0));
        const auto run_id = bytes();
        const auto key = bytes();
        if (!state || !run_id || !key) return std::nullopt;
        return JournalChange{StateChange::Kind::effect_state, *run_id, *key, *state, {}};
    }
    if (kind == kHeldWithDetail) {
        const auto run_id = bytes();
        const auto key = bytes();
        const auto detail = bytes();
        if (!run_id || !key || !detail) return std::nullopt;
        return JournalChange{StateChange::Kind::effect_state, *run_id, *key, EffectState::pending,
                             *detail};
    }
    if (kind == kCancelChange || kind == kCloseChange) {
        const auto run_id = bytes();
        if (!run_id) return std::nullopt;
        return JournalChange{kind == kCancelChange ? StateChange::Kind::run_cancelled
                                                   : StateChange::Kind::run_closed,
                             *run_id, {}, EffectState::pending, {}};
    }
    return std::nullopt;
}

std::optional<unsigned char> JournalBatchReader::byte() {
    if (rest_.empty()) return std::nullopt;
    const auto value = static_cast<unsigned char>(rest_.front());
    rest_.remove_prefix(1);
    return value;
}

std::optional<std::string_view> JournalBatchReader::bytes() {
    if (rest_.size() < 4) return std::nullopt;
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= std::uint32_t{static_cast<unsigned char>(rest_[i])} << (8 * i);
    rest_.remove_prefix(4);
    if (rest_.size() < size) return std::nullopt;
    const std::string_view value = rest_.substr(0, size);
    rest_.remove_prefix(size);
    return value;
}

}  // namespace latchwork::server
