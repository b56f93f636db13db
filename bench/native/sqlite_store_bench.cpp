// sqlite_store_bench.cpp: what one durable commit of the gate's store costs, by batch size.
//
// Each batch is that many new released effects, the common case of a busy server,
// committed and synced as one transaction; and the fold of a journal into the state
// tables, the longer commit that a growing journal costs now and then. Wall time, since the sync is waiting, not
// computing. The file lives beside this executable, on the disk the project builds on
// (a temporary directory could be in memory and would sync for free).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "server/store/sqlite/sqlite_file.h"

namespace {

namespace fs = std::filesystem;
using latchwork::EffectState;
using latchwork::server::SqliteFile;
using latchwork::server::StateChange;

class BenchDir {
public:
    BenchDir() {
        std::string pattern = (fs::read_symlink("/proc/self/exe").parent_path() /
                               "store-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~BenchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    BenchDir(const BenchDir&) = delete;
    BenchDir& operator=(const BenchDir&) = delete;
    std::string file(const char* name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// range(0): changes per batch; range(1): runs the effects are spread over, one after
// another (1 for a single client's run, 50 for fifty clients each on a run of its own);
// range(2): 1 to fold the journal as the store does by default once it is long (the
// cost under sustained load), 0 never to (the cost of a burst, or with folds moved to
// idle moments).
void BM_CommitNewEffects(benchmark::State& state) {
    const auto batch_size = static_cast<std::size_t>(state.range(0));
    const auto runs = static_cast<std::size_t>(state.range(1));
    const BenchDir dir;
    latchwork::server::SqliteFileOptions options;
    if (state.range(2) == 0) options.fold_threshold = SIZE_MAX;
    auto opened = SqliteFile::open(dir.file("gate.db"), options);
    if (!opened) {
        state.SkipWithError(opened.error().c_str());
        return;
    }
    SqliteFile store = std::move(opened).value();
    std::vector<StateChange> batch(batch_size);
    std::size_t next = 0;
    for (auto _ : state) {
        // Building the batch costs a few microseconds against a commit's hundreds;
        // pausing the clock around it would cost more than that.
        for (StateChange& change : batch) {
            change = latchwork::server::effect_state_change("run-" + std::to_string(next % runs),
                                                    "e:" + std::to_string(next),
                                                    EffectState::released);
            ++next;
        }
        if (auto failed = store.commit(batch)) {
            state.SkipWithError(failed->message.c_str());
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(next));
    state.counters["per_change"] = benchmark::Counter(
        static_cast<double>(next), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CommitNewEffects)
    ->Args({1, 1, 1})->Args({8, 1, 1})->Args({64, 1, 1})->Args({512, 1, 1})
    ->Args({8, 50, 1})->Args({64, 50, 1})->Args({512, 50, 1})
    ->Args({1, 1, 0})->Args({64, 50, 0})->Args({512, 50, 0})
    ->ArgNames({"batch", "runs", "folding"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// Folding a journal of range(0) new effects spread over fifty runs into the state
// tables, which already hold ten times as many: the pause of a commit that folds.
void BM_FoldJournal(benchmark::State& state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    const BenchDir dir;
    latchwork::server::SqliteFileOptions options;
    options.fold_threshold = SIZE_MAX;  // only the explicit fold() below
    auto opened = SqliteFile::open(dir.file("gate.db"), options);
    if (!opened) {
        state.SkipWithError(opened.error().c_str());
        return;
    }
    SqliteFile store = std::move(opened).value();
    std::size_t next = 0;
    const auto fill = [&](std::size_t count) {
        std::vector<StateChange> batch;
        for (std::size_t i = 0; i < count; ++i, ++next) {
            batch.push_back(latchwork::server::effect_state_change(
                "run-" + std::to_string(next % 50), "e:" + std::to_string(next),
                EffectState::released));
        }
        return store.commit(batch);
    };
    if (fill(rows * 10) || store.fold()) {
        state.SkipWithError("could not fill the store");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        const bool filled = !fill(rows);
        state.ResumeTiming();
        if (!filled || store.fold()) {
            state.SkipWithError("commit or fold failed");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
}
BENCHMARK(BM_FoldJournal)->Arg(16384)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
