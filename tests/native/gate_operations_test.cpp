// gate_operations_test.cpp: the run-organised gate against a literal five-container model.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gate/gate_operations.h"

namespace latchwork {
namespace {

using EffectId = std::pair<std::string, std::string>;

// The ledger exactly as its rules are stated: five containers and full scans.
struct ModelGate {
    std::set<EffectId> released;
    std::set<std::string> cancelled;
    std::map<EffectId, bool> pending;
    std::set<EffectId> rejected;
    std::set<std::string> closed;

    bool stopped(const std::string& run) const {
        return cancelled.count(run) > 0 || closed.count(run) > 0;
    }

    VerdictKind submit(const std::string& run, const std::string& key, bool needs) {
        EffectId id{run, key};
        if (stopped(run)) return VerdictKind::refused_cancelled;
        if (released.count(id)) return VerdictKind::refused_duplicate;
        if (rejected.count(id)) return VerdictKind::refused_rejected;
        if (pending.count(id)) return VerdictKind::held_for_approval;
        if (needs) {
            pending[id] = true;
            return VerdictKind::held_for_approval;
        }
        released.insert(id);
        return VerdictKind::release;
    }

    VerdictKind decide(const std::string& run, const std::string& key, bool approved) {
        EffectId id{run, key};
        if (pending.erase(id)) {
            (approved ? released : rejected).insert(id);
            return approved ? VerdictKind::release : VerdictKind::refused_rejected;
        }
        if (stopped(run)) return VerdictKind::refused_cancelled;
        if (approved) return VerdictKind::refused_duplicate;
        if (released.count(id)) return VerdictKind::refused_duplicate;
        rejected.insert(id);
        return VerdictKind::refused_rejected;
    }

    template <class Container>
    static void purge(Container& container, const std::string& run) {
        for (auto it = container.begin(); it != container.end();) {
            const EffectId& id = [&]() -> const EffectId& {
                if constexpr (std::is_same_v<Container, std::map<EffectId, bool>>) return it->first;
                else return *it;
            }();
            it = id.first == run ? container.erase(it) : std::next(it);
        }
    }

    void cancel(const std::string& run) {
        cancelled.insert(run);
        purge(pending, run);
    }

    void close_run(const std::string& run) {
        closed.insert(run);
        purge(released, run);
        purge(rejected, run);
        purge(pending, run);
    }

    std::uint64_t state_len() const { return released.size() + pending.size() + rejected.size(); }
};

TEST(GateOperations, RandomSequencesMatchTheModel) {
    const std::string runs[] = {"", "r1", "R1", "r2", "run\n3", "a-run-id-that-is-long"};
    // Keys on both sides of the inline limit, and enough of them that runs outgrow
    // the small array and move to a hash set.
    std::vector<std::string> keys = {"", "e1", "E1", "email:42", std::string(14, 'k'),
                                     std::string(15, 'k'), std::string(14, 'k') + "x",
                                     std::string(100, 'z')};
    for (int i = 0; i < 30; ++i) keys.push_back("key-" + std::to_string(i));
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 random(seed);
        RunLedger ledger;
        ModelGate model;
        for (int step = 0; step < 2000; ++step) {
            const std::string& run = runs[random() % std::size(runs)];
            const std::string& key = keys[random() % keys.size()];
            const bool flag = random() % 2 == 0;
            const unsigned op = random() % 100;
            SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step << " op " << op);
            if (op < 45) {
                ASSERT_EQ(gate_submit(ledger, run, key, flag), model.submit(run, key, flag));
            } else if (op < 90) {
                ASSERT_EQ(gate_decide(ledger, run, key, flag), model.decide(run, key, flag));
            } else if (op < 95) {
                gate_cancel(ledger, run);
                model.cancel(run);
            } else if (op < 97) {
                gate_close_run(ledger, run);
                model.close_run(run);
            }
            ASSERT_EQ(ledger.pending_count(), model.pending.size());
            ASSERT_EQ(ledger.state_len(), model.state_len());
            ASSERT_EQ(ledger.released_count(), model.released.size());
            ASSERT_EQ(ledger.rejected_count(), model.rejected.size());
            ASSERT_EQ(gate_is_cancelled(ledger, run), model.cancelled.count(run) > 0);
            ASSERT_EQ(gate_is_closed(ledger, run), model.closed.count(run) > 0);
        }
    }
}

TEST(GateOperations, ClosingARunFreesOnlyThatRun) {
    RunLedger ledger;
    for (int i = 0; i < 10; ++i) {
        // append, not "e" + ...: GCC 12 for Windows gives a false -Wrestrict there
        const std::string key = std::string("e").append(std::to_string(i));
        EXPECT_EQ(gate_submit(ledger, "a", key, i % 3 == 0),
                  i % 3 == 0 ? VerdictKind::held_for_approval : VerdictKind::release);
        EXPECT_EQ(gate_decide(ledger, "b", key, false), VerdictKind::refused_rejected);
    }
    EXPECT_EQ(ledger.state_len(), 20u);
    gate_close_run(ledger, "a");
    EXPECT_EQ(ledger.state_len(), 10u);
    EXPECT_EQ(ledger.pending_count(), 0u);
    EXPECT_EQ(ledger.rejected_count(), 10u);
    EXPECT_EQ(gate_submit(ledger, "a", "e1", false), VerdictKind::refused_cancelled);
    EXPECT_EQ(gate_submit(ledger, "b", "e1", false), VerdictKind::refused_rejected);
}

TEST(GateOperations, KindTextsAreTheWireTexts) {
    EXPECT_EQ(verdict_kind_text(VerdictKind::release), "release");
    EXPECT_EQ(verdict_kind_text(VerdictKind::held_for_approval), "held_for_approval");
    EXPECT_EQ(verdict_kind_text(VerdictKind::refused_cancelled), "refused_cancelled");
    EXPECT_EQ(verdict_kind_text(VerdictKind::refused_duplicate), "refused_duplicate");
    EXPECT_EQ(verdict_kind_text(VerdictKind::refused_rejected), "refused_rejected");
}

}  // namespace
}  // namespace latchwork
