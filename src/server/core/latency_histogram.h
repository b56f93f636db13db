// latency_histogram.h: how long something took, counted into fixed buckets for /metrics.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace latchwork::server {

class LatencyHistogram {
public:
    // Upper bounds in seconds, from a fast sync on flash to a disk in trouble.
    static constexpr std::array<double, 12> kBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                       0.05,   0.1,   0.25,   0.5,   1.0,  2.5};

    void observe(double seconds);

    std::uint64_t count() const noexcept { return count_; }
    double sum() const noexcept { return sum_; }
    // Observations at or below kBounds[i].
    std::uint64_t cumulative(std::size_t i) const noexcept { return cumulative_[i]; }

private:
    std::array<std::uint64_t, kBounds.size()> cumulative_{};
    std::uint64_t count_ = 0;
    double sum_ = 0;
};

// The histogram in the Prometheus text format (HELP, TYPE, _bucket, _sum, _count);
// null renders as one that never observed anything.
std::string histogram_text(std::string_view name, std::string_view help,
                           const LatencyHistogram* histogram);

}  // namespace latchwork::server
