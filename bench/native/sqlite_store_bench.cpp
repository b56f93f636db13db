// sqlite_store_bench.cpp: what one durable commit of the gate's store costs, by batch size.
//
// Each batch is that many new released effects, the common case of a busy server,
// committed and synced as one transaction. Wall time, since the sync is waiting, not
// computing. The file lives beside this executable, on the disk the project builds on
// (a temporary directory could be in memory and would sync for free).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "server/sqlite_store.h"

namespace {

namespace fs = std::filesystem;
using latchwork::EffectState;
using latchwork::SqliteStore;
using latchwork::StateChange;

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

void BM_CommitNewEffects(benchmark::State& state) {
    const auto batch_size = static_cast<std::size_t>(state.range(0));
    const BenchDir dir;
    auto opened = SqliteStore::open(dir.file("gate.db"));
    if (!opened) {
        state.SkipWithError(opened.error().c_str());
        return;
    }
    SqliteStore store = std::move(opened).value();
    std::vector<StateChange> batch(batch_size);
    std::size_t next = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (StateChange& change : batch) {
            change = latchwork::effect_state_change("run-" + std::to_string(next / 10),
                                                    "e:" + std::to_string(next),
                                                    EffectState::released);
            ++next;
        }
        state.ResumeTiming();
        if (auto failed = store.commit(batch)) {
            state.SkipWithError(failed->message.c_str());
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(next));
    state.counters["per_change"] = benchmark::Counter(
        static_cast<double>(next), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CommitNewEffects)->Arg(1)->Arg(8)->Arg(64)->Arg(512)->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
