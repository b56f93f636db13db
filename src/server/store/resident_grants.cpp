// resident_grants.cpp: the grants of a back end that holds the whole state in memory.
#include "server/store/resident_grants.h"

#include <algorithm>

namespace latchwork::server {

std::optional<std::vector<Grant>> ResidentGrants::live_grants(std::string_view rule, std::int64_t now_ms) {
    const std::lock_guard lock(mutex_);
    std::erase_if(grants_, [&](const Grant& grant) { return !grant.live_at(now_ms); });
    std::vector<Grant> live;
    for (const Grant& grant : grants_) {
        if (rule.empty() || grant.rule == rule) live.push_back(grant);
    }
    return live;
}

void ResidentGrants::decided(const BatchRequest& item) {
    if (!item.granted && !item.revoked) return;
    const std::lock_guard lock(mutex_);
    if (item.granted) {
        // The expired go as a new one comes: the list holds the live grants and those
        // expired since the last one was made.
        const std::int64_t now_ms = item.granted->granted_at_ms;
        std::erase_if(grants_, [now_ms](const Grant& grant) { return grant.expires_at_ms <= now_ms; });
        grants_.push_back(*item.granted);
    }
    if (item.revoked) std::erase_if(grants_, [&](const Grant& grant) { return grant.id == *item.revoked; });
}

void ResidentGrants::load(std::vector<Grant> grants) {
    const std::lock_guard lock(mutex_);
    grants_ = std::move(grants);
}

}  // namespace latchwork::server
