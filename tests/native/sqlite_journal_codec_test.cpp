// sqlite_journal_codec_test.cpp: the journal's bytes, pinned, since store files on disk hold them.
#include <gtest/gtest.h>

#include <string>

#include "server/store/sqlite/sqlite_journal_codec.h"

namespace latchwork::server {
namespace {

using namespace std::string_literals;

TEST(SqliteJournalCodec, EveryKindKeepsItsBytesAndReadsBack) {
    StateChange held = effect_state_change("r", "k", EffectState::pending);
    held.detail = "{}";
    const struct {
        StateChange change;
        std::string bytes;
    } cases[] = {
        {effect_state_change("r", "k", EffectState::pending), "\x01\x01\x01\0\0\0r\x01\0\0\0k"s},
        {effect_state_change("r", "k", EffectState::released), "\x01\x02\x01\0\0\0r\x01\0\0\0k"s},
        {effect_state_change("r", "k", EffectState::rejected), "\x01\x03\x01\0\0\0r\x01\0\0\0k"s},
        {effect_state_change("r", "k", EffectState::approved), "\x01\x04\x01\0\0\0r\x01\0\0\0k"s},
        {held, "\x04\x01\0\0\0r\x01\0\0\0k\x02\0\0\0{}"s},
        {run_cancelled_change("r"), "\x02\x01\0\0\0r"s},
        {run_closed_change("r"), "\x03\x01\0\0\0r"s},
    };
    std::string batch;
    for (const auto& c : cases) {
        std::string one;
        encode_change(one, c.change);
        EXPECT_EQ(one, c.bytes);
        batch += one;
    }
    JournalBatchReader reader(batch);
    for (const auto& c : cases) {
        const std::optional<JournalChange> read = reader.next();
        ASSERT_TRUE(read);
        EXPECT_EQ(read->kind, c.change.kind);
        EXPECT_EQ(read->run_id, c.change.run_id);
        EXPECT_EQ(read->effect_key, c.change.effect_key);
        EXPECT_EQ(read->state, c.change.state);
        EXPECT_EQ(read->detail, c.change.detail);
    }
    EXPECT_TRUE(reader.done());
}

TEST(SqliteJournalCodec, RefusesBytesNoProgramWrites) {
    // An unknown kind, an unknown state, a length past the end, a length cut short.
    for (const std::string& bytes : {"\x05\x01\0\0\0r"s, "\x01\x05\x01\0\0\0r\x01\0\0\0k"s,
                                     "\x02\x02\0\0\0r"s, "\x03\x01\0\0"s}) {
        EXPECT_FALSE(JournalBatchReader(bytes).next());
    }
}

}  // namespace
}  // namespace latchwork::server
