// hmac_core_bench.cpp: SHA-256 throughput, HMAC and the decision tag, without Python around them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "hmac/decision_tag.h"
#include "hmac/hmac_sha256.h"
#include "hmac/sha256.h"

namespace {

constexpr std::size_t kMebibyte = 1 << 20;

const std::vector<std::uint8_t> kSecret(20, 0x5a);

void BM_Sha256_1MiB(benchmark::State& state) {
    std::vector<std::uint8_t> message(kMebibyte);
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 131);
    for (auto _ : state) {
        latchwork::Sha256 context;
        context.update(message);
        benchmark::DoNotOptimize(latchwork::finalize(context));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}
BENCHMARK(BM_Sha256_1MiB);

// One 64-byte block: the cost of a single compression plus the padding block.
void BM_Sha256_64B(benchmark::State& state) {
    const std::vector<std::uint8_t> message(64, 0x61);
    for (auto _ : state) {
        latchwork::Sha256 context;
        context.update(message);
        benchmark::DoNotOptimize(latchwork::finalize(context));
    }
}
BENCHMARK(BM_Sha256_64B);

void BM_HmacShort(benchmark::State& state) {
    const auto message = latchwork::byte_span("run-1\nemail:42\n1");
    for (auto _ : state) benchmark::DoNotOptimize(latchwork::hmac_sha256(kSecret, message));
}
BENCHMARK(BM_HmacShort);

void BM_DecisionTagShort(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(latchwork::compute_decision_tag(kSecret, "run-1", "email:42", true));
    }
}
BENCHMARK(BM_DecisionTagShort);

}  // namespace
