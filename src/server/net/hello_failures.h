// hello_failures.h: wrong hellos counted per address, and how long that address's hello
// replies wait because of them.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>

namespace latchwork::server {

// A peer that tries token after token from one address gets its answers ever slower.
// The first kFreeFailures wrong hellos cost nothing, so a client with a mistyped token
// hears so at once. From then on every hello reply to that address waits: kFirstDelay,
// doubled with each further failure, up to kMaxDelay. A right hello's reply waits too:
// were it quick, a guesser with many connections open would know a guess had succeeded
// long before the wrong ones' replies came. One failure is forgiven for every
// kForgiveAfter without a new one. Only replies to hellos wait, so the address's other
// lines, and other addresses, are not slowed at all.
class HelloFailures {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr unsigned kFreeFailures = 5;
    static constexpr std::chrono::milliseconds kFirstDelay{50};
    static constexpr std::chrono::milliseconds kMaxDelay{1000};
    static constexpr std::chrono::seconds kForgiveAfter{10};
    // The count that reaches kMaxDelay (50 ms doubled five times is past 1 s). Counting
    // on would only keep an address (a NAT's, maybe, shared with good clients) slowed
    // for longer once the guessing stops: from there a minute's quiet has it answered
    // at once again.
    static constexpr unsigned kMaxCount = kFreeFailures + 5;
    // The table's bound: at most this many addresses (about 150 bytes each, 600 KiB in
    // all), a new one beyond it replacing the one whose last failure is the oldest.
    static constexpr std::size_t kMaxAddresses = 4096;

    // How long a hello reply to `from` waits now, for the failures counted before it.
    std::chrono::milliseconds delay(const boost::asio::ip::address& from, Clock::time_point now);
    // Counts one wrong hello from `from`.
    void record(const boost::asio::ip::address& from, Clock::time_point now);

    std::uint64_t total() const noexcept { return total_; }  // every failure counted
    std::size_t addresses() const noexcept { return by_address_.size(); }

private:
    struct Entry {
        boost::asio::ip::address address;
        unsigned count = 0;
        Clock::time_point since;  // the last failure, or the last failure forgiven
    };
    using Recent = std::list<Entry>;

    static void forgive(Entry& entry, Clock::time_point now);

    Recent recent_;  // the latest failure first, so the one to drop is at the back
    std::unordered_map<boost::asio::ip::address, Recent::iterator> by_address_;
    std::uint64_t total_ = 0;
};

}  // namespace latchwork::server
