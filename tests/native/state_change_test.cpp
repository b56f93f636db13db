// state_change_test.cpp: every table row's recorded changes, and replay rebuilding the ledger.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ledger_probe.h"
#include "server/core/state_change.h"

namespace latchwork::server {
namespace {

using testing::expect_same_ledger;

struct Op {
    enum Type { submit, decide, cancel, close_run } type;
    std::string run_id;
    std::string effect_key;
    bool flag = false;  // needs_approval or approved
};

std::vector<StateChange> perform(RunLedger& ledger, const Op& op) {
    std::vector<StateChange> changes;
    switch (op.type) {
        case Op::submit: recorded_submit(ledger, op.run_id, op.effect_key, op.flag, changes); break;
        case Op::decide: recorded_decide(ledger, op.run_id, op.effect_key, op.flag, changes); break;
        case Op::cancel: recorded_cancel(ledger, op.run_id, changes); break;
        case Op::close_run: recorded_close_run(ledger, op.run_id, changes); break;
    }
    return changes;
}

struct Row {
    const char* name;
    std::vector<Op> before;  // builds the state the row starts from
    Op op;
    std::vector<StateChange> expected;
};

const Op submit_held{Op::submit, "r", "k", true};
const Op submit_free{Op::submit, "r", "k", false};
const Op reject{Op::decide, "r", "k", false};
const Op approve{Op::decide, "r", "k", true};
const Op cancel{Op::cancel, "r", ""};
const Op close{Op::close_run, "r", ""};
const Op other_effect{Op::submit, "r", "other", false};

const StateChange now_pending = effect_state_change("r", "k", EffectState::pending);
const StateChange now_released = effect_state_change("r", "k", EffectState::released);
const StateChange now_rejected = effect_state_change("r", "k", EffectState::rejected);
const StateChange cancelled = run_cancelled_change("r");
const StateChange closed = run_closed_change("r");

std::vector<Row> rows() {
    return {
        {"submit_new_free", {}, submit_free, {now_released}},
        {"submit_new_held", {}, submit_held, {now_pending}},
        {"submit_new_in_known_run", {other_effect}, submit_held, {now_pending}},
        {"submit_pending_free", {submit_held}, submit_free, {}},
        {"submit_pending_held", {submit_held}, submit_held, {}},
        {"submit_released", {submit_free}, submit_held, {}},
        {"submit_rejected", {reject}, submit_free, {}},
        {"submit_cancelled_run", {cancel}, submit_free, {}},
        {"submit_closed_run", {close}, submit_held, {}},
        {"submit_released_then_cancelled", {submit_free, cancel}, submit_free, {}},
        {"approve_pending", {submit_held}, approve, {now_released}},
        {"reject_pending", {submit_held}, reject, {now_rejected}},
        {"reject_unknown_run", {}, reject, {now_rejected}},
        {"reject_unknown_effect", {other_effect}, reject, {now_rejected}},
        {"approve_unknown_run", {}, approve, {}},
        {"approve_unknown_effect", {other_effect}, approve, {}},
        {"approve_released", {submit_free}, approve, {}},
        {"reject_released", {submit_free}, reject, {}},
        {"approve_rejected", {reject}, approve, {}},
        {"reject_rejected", {reject}, reject, {}},
        {"reject_cancelled_run", {cancel}, reject, {}},
        {"approve_closed_run", {close}, approve, {}},
        {"reject_after_cancel_dropped_it", {submit_held, cancel}, reject, {}},
        {"cancel_new_run", {}, cancel, {cancelled}},
        {"cancel_run_with_effects", {submit_held, other_effect}, cancel, {cancelled}},
        {"cancel_twice", {cancel}, cancel, {}},
        {"cancel_closed_run", {close}, cancel, {cancelled}},
        {"close_new_run", {}, close, {closed}},
        {"close_run_with_effects", {submit_held, other_effect}, close, {closed}},
        {"close_twice", {close}, close, {}},
        {"close_cancelled_run", {submit_free, cancel}, close, {closed}},
    };
}

class StateChangeRows : public ::testing::TestWithParam<Row> {};

TEST_P(StateChangeRows, RecordsExactlyWhatChangedAndReplaysToTheSameLedger) {
    const Row& row = GetParam();
    RunLedger built;
    std::vector<StateChange> all;
    for (const Op& op : row.before) {
        for (StateChange& change : perform(built, op)) all.push_back(std::move(change));
    }
    const std::vector<StateChange> changes = perform(built, row.op);
    EXPECT_EQ(changes, row.expected);
    all.insert(all.end(), changes.begin(), changes.end());

    RunLedger replayed;
    apply_changes(replayed, all);
    expect_same_ledger(replayed, built);
    for (const std::string key : {"k", "other"}) {
        EXPECT_EQ(testing::probe_state(replayed, "r", key), testing::probe_state(built, "r", key));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryRow, StateChangeRows, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StateChange, KeepsIdsByteForByte) {
    RunLedger ledger;
    std::vector<StateChange> changes;
    const std::string run("\0r", 2), key("\0", 1);
    recorded_submit(ledger, run, key, false, changes);
    recorded_decide(ledger, "", "", false, changes);
    recorded_cancel(ledger, "", changes);
    EXPECT_EQ(changes, (std::vector<StateChange>{
                           effect_state_change(run, key, EffectState::released),
                           effect_state_change("", "", EffectState::rejected),
                           run_cancelled_change("")}));
}

// Replaying every change onto a second ledger after each operation keeps it equal to
// the ledger that ran the operations; a replay of the whole log at the end does too.
TEST(StateChange, RandomSequencesReplayToTheSameLedger) {
    for (unsigned seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        testing::RandomOperations operations(seed);
        RunLedger built, follower;
        std::vector<StateChange> log;
        for (int step = 0; step < 1500; ++step) {
            std::vector<StateChange> changes;
            operations.step(built, changes);
            ASSERT_LE(changes.size(), 1u);
            apply_changes(follower, changes);
            log.insert(log.end(), changes.begin(), changes.end());
            if (step % 100 == 0) expect_same_ledger(follower, built);
        }
        expect_same_ledger(follower, built);
        RunLedger replayed;
        apply_changes(replayed, log);
        expect_same_ledger(replayed, built);
    }
}

}  // namespace
}  // namespace latchwork::server
