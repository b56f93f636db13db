// audit_bounds.h: how much of the audit log a store keeps, so that the log cannot grow without end.
#pragma once

#include <chrono>
#include <cstddef>

namespace latchwork::server {

struct AuditBounds {
    // Entries older than this are pruned in the background, a few at a time.
    std::chrono::milliseconds retention = std::chrono::hours(24 * 30);
    // The memory store keeps at most this many entries, dropping the oldest first:
    // its log lives in the server's memory, so age alone would not bound it.
    std::size_t max_entries = 100'000;
};

}  // namespace latchwork::server
