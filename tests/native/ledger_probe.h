// ledger_probe.h: random gate operations over a small id universe, and ledger comparison.
//
// A ledger cannot be walked from outside, so two ledgers are compared by their counts
// and by probing every run and effect the operations could have named.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "gate/gate_operations.h"
#include "gate/run_ledger.h"
#include "server/core/state_change.h"

namespace latchwork::testing {

using server::StateChange;
using server::recorded_approve_for_submitter;
using server::recorded_cancel;
using server::recorded_close_run;
using server::recorded_decide;
using server::recorded_submit;

// Ids with the bytes a store must keep exactly: the empty string, NUL, a line feed,
// bytes that are not UTF-8, and keys on both sides of the inline limit.
inline const std::vector<std::string>& probe_runs() {
    static const std::vector<std::string> runs = {"", std::string("r\0", 2), "r1", "R1",
                                                  "run\n3", "\xff\xfe", std::string(40, 'L')};
    return runs;
}

inline const std::vector<std::string>& probe_keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> made = {"", std::string(1, '\0'), std::string("k\0k", 3), "e1",
                                         "E1", std::string(14, 'k'), std::string(15, 'k'),
                                         "\x80"};
        for (int i = 0; i < 24; ++i) made.push_back("key-" + std::to_string(i));
        return made;
    }();
    return keys;
}

inline std::optional<EffectState> probe_state(const RunLedger& ledger, const std::string& run_id,
                                              const std::string& key) {
    const RunRecord* run = ledger.find_run(run_id);
    if (run == nullptr) return std::nullopt;
    const EffectKey* effect = run->effects.find(key);
    if (effect == nullptr) return std::nullopt;
    return state_of(*effect);
}

inline void expect_same_ledger(const RunLedger& actual, const RunLedger& expected) {
    ASSERT_EQ(actual.pending_count(), expected.pending_count());
    ASSERT_EQ(actual.released_count(), expected.released_count());
    ASSERT_EQ(actual.rejected_count(), expected.rejected_count());
    ASSERT_EQ(actual.approved_count(), expected.approved_count());
    for (const std::string& run : probe_runs()) {
        ASSERT_EQ(gate_is_cancelled(actual, run), gate_is_cancelled(expected, run));
        ASSERT_EQ(gate_is_closed(actual, run), gate_is_closed(expected, run));
        for (const std::string& key : probe_keys()) {
            ASSERT_EQ(probe_state(actual, run, key), probe_state(expected, run, key))
                << "run of " << run.size() << " bytes, key of " << key.size() << " bytes";
        }
    }
}

// Draws gate operations over probe_runs() x probe_keys(), mostly submissions (half of
// them with a detail) and decisions, some approvals for the submitter, now and then a
// cancel or a close, and records what each one changed.
class RandomOperations {
public:
    explicit RandomOperations(unsigned seed) : random_(seed) {}

    void step(RunLedger& ledger, std::vector<StateChange>& changes) {
        const std::string& run = probe_runs()[random_() % probe_runs().size()];
        const std::string& key = probe_keys()[random_() % probe_keys().size()];
        const bool flag = random_() % 2 == 0;
        const unsigned op = random_() % 100;
        if (op < 44) {
            recorded_submit(ledger, run, key, flag, changes, op % 2 == 0 ? R"({"n":1})" : "");
        } else if (op < 52) {
            recorded_approve_for_submitter(ledger, run, key, changes);
        } else if (op < 95) {
            recorded_decide(ledger, run, key, flag, changes);
        } else if (op < 98) {
            recorded_cancel(ledger, run, changes);
        } else {
            recorded_close_run(ledger, run, changes);
        }
    }

    unsigned next(unsigned bound) { return random_() % bound; }

private:
    std::mt19937 random_;
};

}  // namespace latchwork::testing
