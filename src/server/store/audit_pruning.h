// audit_pruning.h: the pace at which a durable store deletes aged audit entries, a slice at a time.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace latchwork::server {

// Pruning runs in steps between batches, on the batcher's thread, so that no step
// holds up a commit for long. Each store deletes with its own SQL; this says when a
// step is due and how many entries it may delete. The batcher's thread's own.
class AuditPruning {
public:
    using Clock = std::chrono::steady_clock;
    // Entries one step deletes at most: a few milliseconds' work.
    static constexpr std::uint64_t kSlice = 2000;

    explicit AuditPruning(std::chrono::milliseconds retention) : retention_(retention) {}

    // Entries older than this are deleted.
    std::chrono::milliseconds retention() const noexcept { return retention_; }
    // When the next step is due; the first is due at once.
    Clock::time_point due() const noexcept { return due_; }
    bool is_due(Clock::time_point now) const noexcept { return due_ <= now; }

    // A step ended at `now`, having deleted `deleted` entries (a failed step, none).
    // After a full slice the next comes at once, while aged entries remain; otherwise
    // in a while, when more will have aged. A short retention is looked at as often as
    // entries age past it.
    void stepped(Clock::time_point now, std::uint64_t deleted) noexcept {
        const std::chrono::milliseconds later = std::min<std::chrono::milliseconds>(kLater, retention_);
        due_ = now + (deleted == kSlice ? kAgain : later);
    }

private:
    static constexpr std::chrono::milliseconds kAgain{20};
    static constexpr std::chrono::milliseconds kLater = std::chrono::seconds(30);

    std::chrono::milliseconds retention_;
    Clock::time_point due_{};
};

}  // namespace latchwork::server
