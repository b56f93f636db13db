// latency_histogram.cpp: how long something took, counted into fixed buckets for /metrics.
#include "server/core/latency_histogram.h"

#include <cstdio>

namespace latchwork::server {

void LatencyHistogram::observe(double seconds) {
    for (std::size_t i = 0; i < kBounds.size(); ++i) {
        if (seconds <= kBounds[i]) ++cumulative_[i];
    }
    ++count_;
    sum_ += seconds;
}

std::string histogram_text(std::string_view name, std::string_view help,
                           const LatencyHistogram* histogram) {
    const LatencyHistogram none;
    const LatencyHistogram& shown = histogram != nullptr ? *histogram : none;
    const std::string base(name);
    std::string text = "# HELP " + base + " " + std::string(help) + "\n# TYPE " + base + " histogram\n";
    char number[64];
    for (std::size_t i = 0; i < LatencyHistogram::kBounds.size(); ++i) {
        std::snprintf(number, sizeof number, "%g", LatencyHistogram::kBounds[i]);
        text += base + "_bucket{le=\"" + number + "\"} " + std::to_string(shown.cumulative(i)) + "\n";
    }
    text += base + "_bucket{le=\"+Inf\"} " + std::to_string(shown.count()) + "\n";
    std::snprintf(number, sizeof number, "%.9g", shown.sum());
    text += base + "_sum " + number + "\n";
    text += base + "_count " + std::to_string(shown.count()) + "\n";
    return text;
}

}  // namespace latchwork::server
