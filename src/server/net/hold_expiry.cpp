// hold_expiry.cpp: the timer that has the store reject held effects once their deadline has passed.
#include "server/net/hold_expiry.h"

#include <algorithm>
#include <chrono>

namespace latchwork::server {

HoldExpiry::HoldExpiry(boost::asio::io_context& io, Store& store) : store_(store), timer_(io) {}

void HoldExpiry::start() {
    stopped_ = false;
    store_.set_expiry_listener([this] { arm(); });
    arm();
}

void HoldExpiry::stop() {
    stopped_ = true;
    store_.set_expiry_listener({});
    timer_.cancel();
}

void HoldExpiry::arm() {
    if (stopped_) return;
    const std::optional<std::int64_t> next = store_.next_expiry_check();
    if (!next) {
        timer_.cancel();
        return;
    }
    const std::int64_t wait_ms = std::max<std::int64_t>(0, *next - unix_time_ms());
    timer_.expires_after(std::chrono::milliseconds(wait_ms));
    timer_.async_wait([this](const boost::system::error_code& error) {
        if (error || stopped_) return;  // set anew, or stopped
        store_.expire_due(unix_time_ms());
        arm();
    });
}

}  // namespace latchwork::server
