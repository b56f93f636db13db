// audit_log_test.cpp: the audit entries requests leave, their printed lines, and the duration option.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/core/audit_entry.h"
#include "server/cli/duration_text.h"
#include <boost/asio/io_context.hpp>

#include "server/store/batch_store.h"
#include "server/store/memory_backend.h"
#include "server/store/request_handler.h"

namespace latchwork::server {
namespace {

struct DurationCase {
    const char* text;
    long long ms;  // -1: refused
};

TEST(DurationText, ReadsOneNumberAndOneUnit) {
    const std::vector<DurationCase> cases = {
        {"900ms", 900},     {"30s", 30'000},  {"15m", 900'000}, {"2h", 7'200'000},
        {"1ms", 1},         {"0s", -1},       {"", -1},         {"15", -1},
        {"m", -1},          {"1.5s", -1},     {"-1s", -1},      {" 1s", -1},
        {"1s ", -1},        {"1S", -1},       {"1d", -1},       {"1sm", -1},
        {"999999999999999h", -1},  // would overflow a millisecond count
        {"87840h", 316'224'000'000}, {"87841h", -1},
    };
    for (const DurationCase& c : cases) {
        Result<std::chrono::milliseconds> parsed = parse_duration(c.text);
        if (c.ms < 0) {
            EXPECT_FALSE(parsed) << c.text;
        } else {
            ASSERT_TRUE(parsed) << c.text << ": " << parsed.error();
            EXPECT_EQ(parsed.value().count(), c.ms) << c.text;
        }
    }
}

TEST(AuditLine, QuotesSoThatNoIdCanForgeALine) {
    EXPECT_EQ(quoted_text("plain id/with spaces é"), "\"plain id/with spaces é\"");
    EXPECT_EQ(quoted_text("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(quoted_text(std::string("x\ny\rz\t\x1b\x7f\0", 9)), R"("x\ny\x0dz\t\x1b\x7f\x00")");

    AuditEntry entry;
    entry.at_ms = 1'796'824'987'123;  // 2026-12-09T14:03:07.123Z
    entry.event = AuditEvent::decided;
    entry.run_id = "r\n2026-12-09T14:03:07.123Z decided run=\"fake\"";
    entry.effect_key = "e\"";
    entry.approved = true;
    entry.verdict = "release";
    entry.source = "console:alice";
    entry.reason = "ok \\ fine";
    const std::string line = audit_line(entry);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line,
              R"(2026-12-09T14:03:07.123Z decided run="r\n2026-12-09T14:03:07.123Z decided )"
              R"(run=\"fake\"" effect="e\"" approved=true verdict=release )"
              R"(source="console:alice" reason="ok \\ fine")");
}

TEST(AuditLine, EachEventShowsItsOwnFields) {
    AuditEntry held;
    held.at_ms = 0;
    held.event = AuditEvent::held;
    held.run_id = "r";
    held.effect_key = "e";
    held.verdict = "held_for_approval";
    held.source = "line:127.0.0.1:5000";
    held.deadline_ms = 1500;
    EXPECT_EQ(audit_line(held), "1970-01-01T00:00:00.000Z held run=\"r\" effect=\"e\" "
                                "source=\"line:127.0.0.1:5000\" "
                                "deadline=1970-01-01T00:00:01.500Z");
    AuditEntry closed;
    closed.at_ms = 86'400'000 * 366LL;  // 1971-01-02
    closed.event = AuditEvent::closed;
    closed.run_id = "r";
    closed.verdict = "ok";
    closed.source = "expiry";
    EXPECT_EQ(audit_line(closed), "1971-01-02T00:00:00.000Z closed run=\"r\" source=\"expiry\"");
}

// What the handler hands the store, beside the changes, for each door.
class HandlerAudit : public ::testing::Test {
protected:
    std::vector<AuditEntry> all() {
        Result<std::vector<AuditEntry>> read = store.read_audit({});
        EXPECT_TRUE(read);
        return read.value();
    }

    boost::asio::io_context io;
    BatchStore store{std::make_unique<MemoryBackend>(), io};
    RequestHandler handler{store, nullptr};
};

TEST_F(HandlerAudit, EveryVerdictOfADecideAndEveryChangingHoldCancelAndClose) {
    const std::string peer = "10.0.0.7:41000";
    handler.handle(R"({"op":"submit","run_id":"r","effect_key":"free"})", peer);  // no entry
    handler.handle(R"({"op":"submit","run_id":"r","effect_key":"e","needs_approval":true})", peer);
    handler.handle(R"({"op":"submit","run_id":"r","effect_key":"e","needs_approval":true})", peer);
    handler.handle(R"({"op":"decide","run_id":"r","effect_key":"e","approved":true})", peer);
    handler.handle(R"({"op":"decide","run_id":"r","effect_key":"e","approved":false})", peer);
    handler.handle(R"({"op":"submit","run_id":"r","effect_key":"other","needs_approval":true})", peer);
    Request console_decide;
    console_decide.op = Operation::decide;
    console_decide.run_id = "r";
    console_decide.effect_key = "other";
    handler.handle_verified(console_decide, DecisionSource{DecisionSource::Door::console, "alice", false, "not today"});
    handler.handle(R"({"op":"cancel","run_id":"r"})", peer);
    handler.handle(R"({"op":"cancel","run_id":"r"})", peer);  // changed nothing: no entry
    handler.handle(R"({"op":"close_run","run_id":"r"})", peer);
    handler.handle(R"({"op":"pending_count"})", peer);

    const std::vector<AuditEntry> entries = all();
    ASSERT_EQ(entries.size(), 7u);
    const auto expect = [&](std::size_t i, AuditEvent event, const char* key, bool approved,
                            const char* verdict, const char* source, const char* reason) {
        EXPECT_EQ(entries[i].seq, i + 1);
        EXPECT_EQ(entries[i].event, event) << i;
        EXPECT_EQ(entries[i].run_id, "r") << i;
        EXPECT_EQ(entries[i].effect_key, key) << i;
        EXPECT_EQ(entries[i].approved, approved) << i;
        EXPECT_EQ(entries[i].verdict, verdict) << i;
        EXPECT_EQ(entries[i].source, source) << i;
        EXPECT_FALSE(entries[i].mac_verified) << i;  // no secret: nothing was checked
        EXPECT_EQ(entries[i].reason, reason) << i;
        EXPECT_GT(entries[i].at_ms, 0) << i;
    };
    expect(0, AuditEvent::held, "e", false, "held_for_approval", "line:10.0.0.7:41000", "");
    expect(1, AuditEvent::decided, "e", true, "release", "line:10.0.0.7:41000", "");
    expect(2, AuditEvent::decided, "e", false, "refused_duplicate", "line:10.0.0.7:41000", "");
    expect(3, AuditEvent::held, "other", false, "held_for_approval", "line:10.0.0.7:41000", "");
    expect(4, AuditEvent::decided, "other", false, "refused_rejected", "console:alice", "not today");
    expect(5, AuditEvent::cancelled, "", false, "ok", "line:10.0.0.7:41000", "");
    expect(6, AuditEvent::closed, "", false, "ok", "line:10.0.0.7:41000", "");

    AuditQuery page;
    page.after = 2;
    page.limit = 2;
    ASSERT_TRUE(store.read_audit(page));
    EXPECT_EQ(store.read_audit(page).value().front().seq, 3u);
    EXPECT_EQ(store.read_audit(page).value().size(), 2u);
    page = {};
    page.run = "nobody";
    EXPECT_TRUE(store.read_audit(page).value().empty());
}

TEST(HandlerAuditSecret, AVerifiedMacIsSaidAndAnUnverifiedDecideLeavesNoEntry) {
    boost::asio::io_context io;
    BatchStore store{std::make_unique<MemoryBackend>(), io};
    SecretBytes secret;
    const std::uint8_t bytes[] = {'k'};
    secret.assign(bytes);
    RequestHandler handler(store, &secret);
    handler.handle(R"({"op":"submit","run_id":"r","effect_key":"e","needs_approval":true})", "p:1");
    const Answer refused =
        handler.handle(R"({"op":"decide","run_id":"r","effect_key":"e","approved":true})", "p:1");
    EXPECT_EQ(refused.wait_for, 0u);
    EXPECT_EQ(store.read_audit({}).value().size(), 1u);  // the hold only
    Request console_decide;
    console_decide.op = Operation::decide;
    console_decide.run_id = "r";
    console_decide.effect_key = "e";
    console_decide.flag = true;
    handler.handle_verified(console_decide, DecisionSource{DecisionSource::Door::console, "bob", false, ""});
    const AuditEntry last = store.read_audit({}).value().back();
    EXPECT_EQ(last.source, "console:bob");
    EXPECT_FALSE(last.mac_verified);  // the console has tokens, not tags
}

TEST(HoldExpiryLogic, ADeadlineRejectsExactlyAsARejectingDecide) {
    boost::asio::io_context io;
    auto backend = std::make_unique<MemoryBackend>();
    const ResidentLedger& resident = backend->resident();
    BatchStore store{std::move(backend), io};
    RequestHandler handler(store, nullptr);
    store.set_hold_timeout(std::chrono::milliseconds(1000));
    handler.handle(R"({"op":"submit","run_id":"r","effect_key":"a","needs_approval":true})", "p:1");
    handler.handle(R"({"op":"submit","run_id":"r","effect_key":"b","needs_approval":true})", "p:1");
    const HeldEffect* a = resident.held().find("r", "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->deadline_ms, a->held_at_ms + 1000);
    const std::int64_t deadline = a->deadline_ms;
    EXPECT_EQ(resident.held().next_deadline(), deadline);
    handler.handle(R"({"op":"decide","run_id":"r","effect_key":"b","approved":true})", "p:1");

    EXPECT_EQ(store.expire_due(deadline - 1), 0u);
    EXPECT_EQ(store.expire_due(deadline + 5000), 1u);  // b was decided: only a is due
    EXPECT_EQ(resident.held().size(), 0u);
    EXPECT_FALSE(resident.held().next_deadline());
    EXPECT_EQ(handler.handle(R"({"op":"submit","run_id":"r","effect_key":"a"})", "p:1").line(),
              "{\"verdict\":\"refused_rejected\"}\n");
    const AuditEntry expired = store.read_audit({}).value().at(3);
    EXPECT_EQ(expired.event, AuditEvent::expired);
    EXPECT_EQ(expired.effect_key, "a");
    EXPECT_EQ(expired.verdict, "refused_rejected");
    EXPECT_EQ(expired.source, "expiry");
    EXPECT_FALSE(expired.approved);
}

TEST(HoldExpiryLogic, LoadedHoldsKeepTheirStoredDeadlineOrGetTheTimeout) {
    ResidentLedger resident;
    const std::vector<StoredHold> holds = {{"r", "stored", 10, 5000, {}, false, {}, {}, {}, {}}, {"r", "old", 20, 0, {}, false, {}, {}, {}, {}}};
    resident.index_holds(holds, 100);
    EXPECT_EQ(resident.held().find("r", "stored")->deadline_ms, 5000);
    EXPECT_EQ(resident.held().find("r", "old")->deadline_ms, 120);
    EXPECT_EQ(resident.held().next_deadline(), 120);
    EXPECT_EQ(resident.held().page(10, 0, "").items.front()->effect_key, "stored");
}

// The memory store's log is bounded: the oldest entries go first, and seq numbers and
// cursors keep their meaning across the drops.
TEST(MemoryAuditBounds, DropsTheOldestBeyondTheCapAndPagesByTheSameSeqs) {
    MemoryBackend recorder{AuditBounds{std::chrono::hours(1), 3}};
    const auto add = [&](const char* run, std::int64_t at_ms) {
        AuditEntry entry;
        entry.run_id = run;
        entry.at_ms = at_ms;
        recorder.write({}, std::span<const AuditEntry>(&entry, 1));
    };
    const auto seqs = [&](AuditQuery query) {
        std::vector<std::uint64_t> found;
        const Result<std::vector<AuditEntry>> read = recorder.read_audit(query);
        for (const AuditEntry& entry : read.value()) found.push_back(entry.seq);
        return found;
    };
    const auto page = [](std::uint64_t after, std::uint64_t before, bool newest_first = false,
                         std::size_t limit = 10) {
        AuditQuery query;
        query.after = after;
        query.before = before;
        query.newest_first = newest_first;
        query.limit = limit;
        return query;
    };
    AuditQuery of_a;
    of_a.run = "a";
    using Seqs = std::vector<std::uint64_t>;
    for (int i = 0; i < 5; ++i) add(i % 2 == 0 ? "a" : "b", 1000 + i);
    EXPECT_EQ(seqs({}), (Seqs{3, 4, 5}));  // 1 and 2 dropped, the rest keep their numbers
    EXPECT_EQ(seqs(page(1, 0)), (Seqs{3, 4, 5}));
    EXPECT_EQ(seqs(page(3, 0)), (Seqs{4, 5}));
    EXPECT_EQ(seqs(page(5, 0)), Seqs{});
    EXPECT_EQ(seqs(page(0, 5)), (Seqs{3, 4}));
    EXPECT_EQ(seqs(page(0, 3)), Seqs{});
    EXPECT_EQ(seqs(page(0, 2)), Seqs{});
    EXPECT_EQ(seqs(page(0, 0, true, 2)), (Seqs{5, 4}));
    EXPECT_EQ(seqs(page(0, 4, true, 2)), (Seqs{3}));
    EXPECT_EQ(seqs(of_a), (Seqs{3, 5}));

    // Older than the retention (an hour before the newest entry) goes too.
    add("c", 1000 + 3'600'000 + 4);
    EXPECT_EQ(seqs({}), (Seqs{5, 6}));
    add("d", 1000 + 7'200'005);
    EXPECT_EQ(seqs({}), (Seqs{7}));
    EXPECT_EQ(seqs(page(6, 0)), (Seqs{7}));
}

}  // namespace
}  // namespace latchwork::server
