// sha256_throughput.cpp: stand-alone throughput check of the scalar SHA-256 on 1 MiB.
//
//   g++ -std=c++20 -O2 -Isrc bench/sha256_throughput.cpp src/hmac/sha256.cpp -o build/sha256_throughput
//
// Prints the best of several half-second runs, in MB/s (10^6 bytes), comparable with
// hashlib.sha256 over the same buffer.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "hmac/sha256.h"

int main() {
    constexpr std::size_t kBufferSize = 1 << 20;
    std::vector<std::uint8_t> buffer(kBufferSize);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 131);

    using Clock = std::chrono::steady_clock;
    double best = 0;
    unsigned sink = 0;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        std::size_t hashed = 0;
        std::chrono::duration<double> elapsed{};
        do {
            latchwork::Sha256 context;
            context.update(buffer);
            sink += latchwork::finalize(context)[0];
            hashed += buffer.size();
            elapsed = Clock::now() - start;
        } while (elapsed.count() < 0.5);
        const double rate = hashed / elapsed.count() / 1e6;
        if (rate > best) best = rate;
    }
    std::printf("sha256: %.0f MB/s (check byte %u)\n", best, sink & 0xff);
}
