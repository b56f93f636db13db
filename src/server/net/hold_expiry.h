// hold_expiry.h: the timer that has the store reject held effects once their deadline has passed.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/store/store.h"

namespace latchwork::server {

// One timer on the network thread, always set for the store's next expiry check.
// Deadlines are wall-clock times (they are stored and outlive the process); the timer
// only says when to look again, and an early wake-up after a clock step finds nothing
// due and sets the timer anew.
class HoldExpiry {
public:
    HoldExpiry(boost::asio::io_context& io, Store& store);
    ~HoldExpiry() { store_.set_expiry_listener({}); }
    HoldExpiry(const HoldExpiry&) = delete;
    HoldExpiry& operator=(const HoldExpiry&) = delete;

    // Sets the timer for the next check, if there is one; again whenever a nearer
    // one appears.
    void start();
    // Expires nothing more; lets the io_context run out.
    void stop();

private:
    void arm();

    Store& store_;
    boost::asio::steady_timer timer_;
    bool stopped_ = true;
};

}  // namespace latchwork::server
