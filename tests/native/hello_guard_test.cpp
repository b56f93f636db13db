// hello_guard_test.cpp: wrong hellos slow their address down, within a bounded table,
// and their log lines are throttled.
#include <gtest/gtest.h>

#include <boost/asio/ip/address_v4.hpp>

#include "server/core/log_throttle.h"
#include "server/net/hello_failures.h"

namespace latchwork::server {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

boost::asio::ip::address host(std::uint32_t number) { return boost::asio::ip::address_v4(number); }

TEST(HelloFailures, TheDelayGrowsToItsCapForThatAddressOnlyAndQuietForgivesIt) {
    HelloFailures failures;
    const HelloFailures::Clock::time_point start{};
    // The delay of the next hello after n failures from one address.
    for (long expected : {0, 0, 0, 0, 0, 50, 100, 200, 400, 800, 1000, 1000, 1000}) {
        EXPECT_EQ(failures.delay(host(1), start), milliseconds(expected));
        failures.record(host(1), start);
    }
    EXPECT_EQ(failures.delay(host(2), start), milliseconds(0));
    EXPECT_EQ(failures.delay(host(1), start + seconds(10)), milliseconds(800));  // one forgiven
    EXPECT_EQ(failures.delay(host(1), start + seconds(60)), milliseconds(0));
    EXPECT_EQ(failures.delay(host(1), start + seconds(100)), milliseconds(0));
    EXPECT_EQ(failures.addresses(), 0u);  // all forgiven: forgotten
    EXPECT_EQ(failures.total(), 13u);
}

TEST(HelloFailures, TheTableKeepsAtMostItsBoundDroppingTheOldestFailure) {
    HelloFailures failures;
    HelloFailures::Clock::time_point now{};
    for (int i = 0; i < 6; ++i) {
        failures.record(host(0), now);
        failures.record(host(1), now);
    }
    for (std::uint32_t n = 2; n <= HelloFailures::kMaxAddresses; ++n) {  // one too many
        failures.record(host(n), now += milliseconds(1));
        if (n == 2) failures.record(host(0), now);  // host 0 failed again: host 1 is older
    }
    EXPECT_EQ(failures.addresses(), HelloFailures::kMaxAddresses);
    EXPECT_EQ(failures.delay(host(1), now), milliseconds(0));  // dropped
    EXPECT_EQ(failures.delay(host(0), now), milliseconds(200));
}

TEST(LogThrottle, WritesOneLineAnIntervalAndCountsThoseLeftOut) {
    LogThrottle throttle(seconds(1));
    const LogThrottle::Clock::time_point start{};
    EXPECT_EQ(throttle.admit(start), 0u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(throttle.admit(start + milliseconds(999)), std::nullopt);
    EXPECT_EQ(throttle.admit(start + seconds(1)), 3u);
}

}  // namespace
}  // namespace latchwork::server
