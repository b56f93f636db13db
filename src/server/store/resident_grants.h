// resident_grants.h: the grants of a back end that holds the whole state in memory.
#pragma once

#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "server/core/grant.h"
#include "server/store/batch_request.h"

namespace latchwork::server {

// Decided on by the loop's thread, read by the network thread's console: each call
// takes the lock. Expired grants are dropped as they are met.
class ResidentGrants final : public GrantBook {
public:
    std::optional<std::vector<Grant>> live_grants(std::string_view rule, std::int64_t now_ms) override;
    // What a decided request made or revoked.
    void decided(const BatchRequest& item);
    // Loading: the grants a file kept.
    void load(std::vector<Grant> grants);

private:
    std::mutex mutex_;
    std::vector<Grant> grants_;  // oldest first
};

}  // namespace latchwork::server
