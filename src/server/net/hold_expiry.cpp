// hold_expiry.cpp: the timer that rejects held effects once their deadline has passed.
#include "server/net/hold_expiry.h"

#include <chrono>

namespace latchwork::server {

HoldExpiry::HoldExpiry(boost::asio::io_context& io, RequestHandler& handler)
    : handler_(handler), timer_(io) {}

void HoldExpiry::start() {
    stopped_ = false;
    handler_.set_hold_listener([this] { arm(); });
    arm();
}

void HoldExpiry::stop() {
    stopped_ = true;
    handler_.set_hold_listener({});
    timer_.cancel();
}

void HoldExpiry::arm() {
    if (stopped_) return;
    const std::optional<std::int64_t> next = handler_.held().next_deadline();
    if (!next) {
        timer_.cancel();
        return;
    }
    const std::int64_t wait_ms = std::max<std::int64_t>(0, *next - unix_time_ms());
    timer_.expires_after(std::chrono::milliseconds(wait_ms));
    timer_.async_wait([this](const boost::system::error_code& error) {
        if (error || stopped_) return;  // set anew, or stopped
        handler_.expire_due(unix_time_ms());
        arm();
    });
}

}  // namespace latchwork::server
