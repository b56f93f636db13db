// gate_core_bench.cpp: the gate's decision logic over its ledger, without Python around it.
//
// Tells how much of a Gate method's time is the ledger itself; the rest is argument
// binding, the lock and the Verdict object.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gate/gate_operations.h"
#include "gate/run_ledger.h"

namespace {

using latchwork::RunLedger;

constexpr std::size_t kKeyCount = 1 << 17;  // effects per fresh ledger, as in bench_gate.py
constexpr std::size_t kRunSize = 10;         // effects per run
constexpr std::size_t kBatch = 16;           // runs ended per timed stretch

struct EffectId {
    std::string run_id;
    std::string effect_key;
};

// New effects in runs of ten, the same shape as the Python benchmark's.
const std::vector<EffectId>& new_effects() {
    static const std::vector<EffectId> effects = [] {
        std::vector<EffectId> made;
        made.reserve(kKeyCount);
        for (std::size_t i = 0; i < kKeyCount; ++i) {
            made.push_back({"run-" + std::to_string(i / kRunSize), "e:" + std::to_string(i)});
        }
        return made;
    }();
    return effects;
}

// Every kKeyCount submissions the ledger starts afresh, so every effect is new and the
// table sizes match the Python benchmark's.
template <bool Decide>
void BM_SubmitNewEffects(benchmark::State& state) {
    const auto& effects = new_effects();
    auto ledger = std::make_unique<RunLedger>();
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == kKeyCount) {
            state.PauseTiming();
            ledger = std::make_unique<RunLedger>();
            next = 0;
            state.ResumeTiming();
        }
        const EffectId& effect = effects[next++];
        benchmark::DoNotOptimize(
            latchwork::gate_submit(*ledger, effect.run_id, effect.effect_key, Decide));
        if constexpr (Decide) {
            benchmark::DoNotOptimize(
                latchwork::gate_decide(*ledger, effect.run_id, effect.effect_key, true));
        }
    }
}
BENCHMARK(BM_SubmitNewEffects<false>)->Name("BM_SubmitNew");
BENCHMARK(BM_SubmitNewEffects<true>)->Name("BM_SubmitDecide");

void BM_SubmitDuplicate(benchmark::State& state) {
    RunLedger ledger;
    (void)latchwork::gate_submit(ledger, "run-1", "email:42", false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(latchwork::gate_submit(ledger, "run-1", "email:42", false));
    }
}
BENCHMARK(BM_SubmitDuplicate);

constexpr std::string_view kRunKeys[kRunSize] = {"e:0", "e:1", "e:2", "e:3", "e:4",
                                                 "e:5", "e:6", "e:7", "e:8", "e:9"};

// A ledger of `other` effects in runs of ten, half of them held.
void fill_ledger(RunLedger& ledger, std::size_t other) {
    for (std::size_t i = 0; i < other; ++i) {
        (void)latchwork::gate_submit(ledger, "other-" + std::to_string(i / kRunSize),
                                     kRunKeys[i % kRunSize], i % 2 == 0);
    }
}

// Ends a run of ten effects (half held) in a ledger of state.range(0) other effects.
// Each timed stretch ends kBatch runs made just before it; the time per run is
// reported. Ended runs stay in the ledger as records without effects, as they must:
// the iteration count is fixed so that every size gets the same number of them.
template <void (*End)(RunLedger&, std::string_view)>
void BM_EndRun(benchmark::State& state) {
    RunLedger ledger;
    fill_ledger(ledger, static_cast<std::size_t>(state.range(0)));
    std::size_t serial = 0;
    std::vector<std::string> runs(kBatch);
    for (auto _ : state) {
        for (auto& run : runs) {
            run = "target-" + std::to_string(serial++);
            for (std::size_t k = 0; k < kRunSize; ++k) {
                (void)latchwork::gate_submit(ledger, run, kRunKeys[k], k % 2 == 0);
            }
        }
        const auto start = std::chrono::steady_clock::now();
        for (const auto& run : runs) End(ledger, run);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count() / kBatch);
        // Cancelled runs keep their released effects; closing them keeps the size fixed.
        if constexpr (End == latchwork::gate_cancel) {
            for (const auto& run : runs) latchwork::gate_close_run(ledger, run);
        }
    }
}
BENCHMARK(BM_EndRun<latchwork::gate_cancel>)
    ->Name("BM_Cancel")
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->UseManualTime()
    ->Iterations(4000);
BENCHMARK(BM_EndRun<latchwork::gate_close_run>)
    ->Name("BM_CloseRun")
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->UseManualTime()
    ->Iterations(4000);

}  // namespace
