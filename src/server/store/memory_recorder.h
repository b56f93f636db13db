// memory_recorder.h: the recorder that keeps nothing beyond the ledger and its audit log: durable on record.
#pragma once

#include <algorithm>
#include <vector>

#include "server/store/recorder.h"

namespace latchwork::server {

class MemoryRecorder final : public Recorder {
public:
    Result<std::monostate> load(RunLedger&) override { return std::monostate{}; }
    std::uint64_t record(std::span<const StateChange>, std::span<const AuditEntry> audit) override {
        for (const AuditEntry& entry : audit) {
            audit_.push_back(entry);
            audit_.back().seq = audit_.size();
        }
        // The ledger itself is all the state there is; the batch is done as it is taken.
        durable_ = ++recorded_;
        return recorded_;
    }
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override {
        std::vector<AuditEntry> found;
        const std::size_t end =
            query.before == 0 ? audit_.size() : std::min<std::size_t>(audit_.size(), query.before - 1);
        const auto take = [&](std::size_t i) {
            if (!query.run || audit_[i].run_id == *query.run) found.push_back(audit_[i]);
        };
        if (query.newest_first) {
            for (std::size_t i = end; i > query.after && found.size() < query.limit; --i) take(i - 1);
        } else {
            for (std::size_t i = query.after; i < end && found.size() < query.limit; ++i) take(i);
        }
        return found;
    }
    std::uint64_t last_recorded() const noexcept override { return recorded_; }
    std::uint64_t durable() const noexcept override { return durable_; }
    // durable() never advances later than record(), so there is nothing to tell.
    void set_durable_listener(std::function<void()>) override {}

private:
    std::uint64_t recorded_ = 0;
    std::uint64_t durable_ = 0;
    std::vector<AuditEntry> audit_;  // seq = index + 1
};

}  // namespace latchwork::server
