// hello_failures.cpp: wrong hellos counted per address, and how long that address's hello
// replies wait because of them.
#include "server/net/hello_failures.h"

#include <algorithm>

namespace latchwork::server {

void HelloFailures::forgive(Entry& entry, Clock::time_point now) {
    const auto steps = (now - entry.since) / kForgiveAfter;
    if (steps <= 0) return;
    entry.count = static_cast<std::uint64_t>(steps) >= entry.count
                      ? 0
                      : entry.count - static_cast<unsigned>(steps);
    entry.since += steps * kForgiveAfter;
}

std::chrono::milliseconds HelloFailures::delay(const boost::asio::ip::address& from,
                                               Clock::time_point now) {
    const auto found = by_address_.find(from);
    if (found == by_address_.end()) return {};
    Entry& entry = *found->second;
    forgive(entry, now);
    if (entry.count == 0) {  // all forgiven: the address is forgotten
        recent_.erase(found->second);
        by_address_.erase(found);
        return {};
    }
    if (entry.count < kFreeFailures) return {};
    const unsigned doublings = std::min(entry.count - kFreeFailures, 16u);
    return std::min(kFirstDelay * (1u << doublings), kMaxDelay);
}

void HelloFailures::record(const boost::asio::ip::address& from, Clock::time_point now) {
    ++total_;
    auto found = by_address_.find(from);
    if (found == by_address_.end()) {
        if (by_address_.size() >= kMaxAddresses) {
            by_address_.erase(recent_.back().address);
            recent_.pop_back();
        }
        recent_.push_front(Entry{from, 0, now});
        found = by_address_.emplace(from, recent_.begin()).first;
    } else {
        forgive(*found->second, now);
        recent_.splice(recent_.begin(), recent_, found->second);
    }
    Entry& entry = *found->second;
    entry.count = std::min(entry.count + 1, kMaxCount);
    entry.since = now;
}

}  // namespace latchwork::server
