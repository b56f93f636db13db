// network_range_test.cpp: --allow networks read from text, and which peers they hold.
#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <string_view>

#include "server/net/network_range.h"

namespace latchwork::server {
namespace {

boost::asio::ip::address address(std::string_view text) {
    return boost::asio::ip::make_address(std::string(text));
}

struct Membership {
    std::string_view range;
    std::string_view peer;
    bool inside;
};

TEST(NetworkRange, HoldsExactlyThePeersOfItsPrefix) {
    constexpr Membership kTable[] = {
        {"10.0.0.0/8", "10.255.1.2", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"192.168.4.0/22", "192.168.7.255", true},  // a prefix that is not a byte boundary
        {"192.168.4.0/22", "192.168.8.0", false},
        {"203.0.113.7", "203.0.113.7", true},        // a bare address is one host
        {"203.0.113.7", "203.0.113.8", false},
        {"0.0.0.0/0", "198.51.100.1", true},
        {"0.0.0.0/0", "2001:db8::1", false},          // every IPv4 peer, no IPv6 one
        {"127.0.0.1/32", "::ffff:127.0.0.1", true},  // an IPv4 peer of a dual-stack socket
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},
        {"[::1]", "::1", true},
        {"::1/128", "127.0.0.1", false},
    };
    for (const Membership& row : kTable) {
        Result<NetworkRange> range = NetworkRange::parse(row.range);
        ASSERT_TRUE(range) << row.range << ": " << range.error();
        EXPECT_EQ(range.value().contains(address(row.peer)), row.inside) << row.range << " " << row.peer;
    }
}

TEST(NetworkRange, RefusesWhatNamesNoNetwork) {
    struct Refusal {
        std::string_view text;
        std::string_view reason;
    };
    constexpr Refusal kTable[] = {
        {"", "not an IP address"},
        {"localhost", "not an IP address"},
        {"10.0.0/8", "not an IP address"},
        {"fe80::1%eth0", "not an IP address"},
        {"10.0.0.0/", "no prefix length after '/'"},
        {"10.0.0.0/33", "the prefix length must be 0 to 32"},
        {"10.0.0.0/-1", "the prefix length must be 0 to 32"},
        {"10.0.0.0/08", "the prefix length must be 0 to 32"},
        {"10.0.0.0/8x", "the prefix length must be 0 to 32"},
        {"::/129", "the prefix length must be 0 to 128"},
        {"10.0.0.1/8", "host bits are set below the /8 prefix"},
        {"2001:db8::1/32", "host bits are set below the /32 prefix"},
    };
    for (const Refusal& row : kTable) {
        Result<NetworkRange> range = NetworkRange::parse(row.text);
        ASSERT_FALSE(range) << row.text;
        EXPECT_EQ(range.error(), row.reason) << row.text;
    }
}

TEST(IsLoopback, OnlyAddressesThatReachThisHostAlone) {
    for (std::string_view text : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1"}) {
        EXPECT_TRUE(is_loopback(address(text))) << text;
    }
    for (std::string_view text : {"0.0.0.0", "::", "10.0.0.1", "::ffff:10.0.0.1", "128.0.0.1"}) {
        EXPECT_FALSE(is_loopback(address(text))) << text;
    }
}

}  // namespace
}  // namespace latchwork::server
