// hold_expiry.h: the timer that rejects held effects once their deadline has passed.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/store/request_handler.h"

namespace latchwork::server {

// One timer on the network thread, always set for the nearest deadline of the
// handler's held index. Deadlines are wall-clock times (they are stored and outlive
// the process); the timer only says when to look again, and an early wake-up after a
// clock step finds nothing due and sets the timer anew.
class HoldExpiry {
public:
    HoldExpiry(boost::asio::io_context& io, RequestHandler& handler);
    ~HoldExpiry() { handler_.set_hold_listener({}); }
    HoldExpiry(const HoldExpiry&) = delete;
    HoldExpiry& operator=(const HoldExpiry&) = delete;

    // Sets the timer for the nearest deadline, if there is one; again whenever a
    // nearer one appears.
    void start();
    // Expires nothing more; lets the io_context run out.
    void stop();

private:
    void arm();

    RequestHandler& handler_;
    boost::asio::steady_timer timer_;
    bool stopped_ = true;
};

}  // namespace latchwork::server
