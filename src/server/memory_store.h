// memory_store.h: the store that keeps nothing beyond the ledger: durable on record.
#pragma once

#include "server/store.h"

namespace latchwork::server {

class MemoryStore final : public Store {
public:
    Result<std::monostate> load(RunLedger&) override { return std::monostate{}; }
    std::uint64_t record(std::span<const StateChange>) override {
        // The ledger itself is all the state there is; the batch is done as it is taken.
        durable_ = ++recorded_;
        return recorded_;
    }
    std::uint64_t last_recorded() const noexcept override { return recorded_; }
    std::uint64_t durable() const noexcept override { return durable_; }
    // durable() never advances later than record(), so there is nothing to tell.
    void set_durable_listener(std::function<void()>) override {}

private:
    std::uint64_t recorded_ = 0;
    std::uint64_t durable_ = 0;
};

}  // namespace latchwork::server
