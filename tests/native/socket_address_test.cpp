// socket_address_test.cpp: address rules, connection set-up and error texts.
#include "client/socket_address.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "client/connection.h"
#include "client/os_error.h"
#include "client/platform_socket.h"
#include "loopback.h"
#include "print_sample.h"

namespace latchwork {
namespace {

// "family address port" of a socket address, for comparisons.
std::string describe(const SocketAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.family() == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address.storage);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return "v4 " + std::string(text) + " " + std::to_string(ntohs(v4->sin_port));
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address.storage);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return "v6 " + std::string(text) + "%" + std::to_string(v6->sin6_scope_id) + " " +
           std::to_string(ntohs(v6->sin6_port));
}

struct Literal {
    std::string text;
    std::string parsed;  // empty: not a socket-address literal
};

void PrintTo(const Literal& row, std::ostream* os) { print_sample(row.text, os); }

class SocketAddressLiteral : public ::testing::TestWithParam<Literal> {};

TEST_P(SocketAddressLiteral, ParsesOnlyTheLiteralForms) {
    const auto literal = parse_socket_address_literal(GetParam().text);
    EXPECT_EQ(literal ? describe(*literal) : "", GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(Forms, SocketAddressLiteral, ::testing::Values(
    Literal{"127.0.0.1:8796", "v4 127.0.0.1 8796"},
    Literal{"192.0.2.1:0", "v4 192.0.2.1 0"},
    Literal{"10.0.0.1:065535", "v4 10.0.0.1 65535"},
    Literal{"[::1]:8796", "v6 ::1%0 8796"},
    Literal{"[fe80::1%2]:80", "v6 fe80::1%2 80"},
    Literal{"[::ffff:192.0.2.1]:1", "v6 ::ffff:192.0.2.1%0 1"},
    Literal{"127.0.0.1:70000", ""},
    Literal{"127.0.0.1:", ""},
    Literal{"127.0.0.1:+80", ""},
    Literal{"127.0.0.1", ""},
    Literal{"127.0.0.01:80", ""},
    Literal{"127.1:80", ""},
    Literal{"256.0.0.1:80", ""},
    Literal{std::string("127.0.0.1\0:80", 13), ""},
    Literal{"localhost:80", ""},
    Literal{"::1", ""},
    Literal{"[::1]", ""},
    Literal{"[::1]80", ""},
    Literal{"::1:80", ""},
    Literal{"[fe80::1%eth0]:80", ""},
    Literal{"[fe80::1%]:80", ""},
    Literal{"[127.0.0.1]:80", ""}));

struct AddressError {
    std::string addr;
    std::string message;
};

void PrintTo(const AddressError& row, std::ostream* os) { print_sample(row.addr, os); }

class GateAddressError : public ::testing::TestWithParam<AddressError> {};

TEST_P(GateAddressError, FailsBeforeAnyLookup) {
    const auto resolved = resolve_gate_address(GetParam().addr);
    ASSERT_FALSE(resolved.ok());
    EXPECT_EQ(resolved.error(), GetParam().message);
    const auto opened = Connection::open(GetParam().addr);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Rules, GateAddressError, ::testing::Values(
    AddressError{"localhost", "invalid socket address"},
    AddressError{"", "invalid socket address"},
    AddressError{"127.0.0.1:70000", "invalid port value"},
    AddressError{"localhost:65536", "invalid port value"},
    AddressError{"localhost:", "invalid port value"},
    AddressError{"localhost:+", "invalid port value"},
    AddressError{"localhost:++1", "invalid port value"},
    AddressError{"localhost:-1", "invalid port value"},
    AddressError{"localhost: 80", "invalid port value"},
    AddressError{"localhost:0x50", "invalid port value"},
    AddressError{"localhost:99999999999999999999", "invalid port value"},
    AddressError{"[::1]", "invalid port value"},  // split as host "[:" and port "1]"
    AddressError{std::string("local\0host:80", 13), "file name contained an unexpected NUL byte"},
    AddressError{std::string("localhost\0", 10), "invalid socket address"},
    AddressError{std::string("localhost:8\0", 12), "invalid port value"}));

TEST(ResolveGateAddress, SplitsAtTheLastColonAndSetsThePort) {
    const auto plus = resolve_gate_address("127.0.0.1:+80");
    ASSERT_TRUE(plus.ok()) << plus.error();
    ASSERT_EQ(plus.value().size(), 1u);
    EXPECT_EQ(describe(plus.value()[0]), "v4 127.0.0.1 80");

    const auto local = resolve_gate_address("localhost:00080");
    ASSERT_TRUE(local.ok()) << local.error();
    for (const SocketAddress& address : local.value()) {
        const std::string text = describe(address);
        EXPECT_TRUE(text == "v4 127.0.0.1 80" || text == "v6 ::1%0 80") << text;
    }
}

TEST(SplitHostAndPort, TakesTheLastColon) {
    // Unbracketed IPv6 is no literal: "::1" is host ":" and port 1 (and ":" is then
    // looked up as a name, which tests leave alone: it would leave the machine).
    const auto colons = split_host_and_port("::1");
    ASSERT_TRUE(colons.ok());
    EXPECT_EQ(colons.value().host, ":");
    EXPECT_EQ(colons.value().port, 1);
    const auto empty = split_host_and_port(":+0");
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty.value().host, "");
    EXPECT_EQ(empty.value().port, 0);
    const auto bracketed = split_host_and_port("[fe80::1%eth0]:65535");
    ASSERT_TRUE(bracketed.ok());
    EXPECT_EQ(bracketed.value().host, "[fe80::1%eth0]");
    EXPECT_EQ(bracketed.value().port, 65535);
}

TEST(ConnectionOpen, ConnectsToALiteralAndToAResolvedName) {
    testing::Listener listener;
    const auto literal = Connection::open(listener.address());
    ASSERT_TRUE(literal.ok()) << literal.error();
    // localhost may also resolve to ::1, where nothing listens: that attempt fails
    // and the next address is tried.
    const auto named = Connection::open("localhost:" + std::to_string(listener.port()));
    ASSERT_TRUE(named.ok()) << named.error();
}

TEST(ConnectionOpen, ConnectsToABracketedIpv6Literal) {
    std::optional<testing::Listener> listener;
    try {
        listener.emplace(AF_INET6);
    } catch (const std::exception&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    const auto opened = Connection::open("[::1]:" + std::to_string(listener->port()));
    ASSERT_TRUE(opened.ok()) << opened.error();
}

TEST(ConnectionOpen, ReportsTheLastAttemptsOsError) {
    std::uint16_t port;
    {
        testing::Listener closed_again;
        port = closed_again.port();
    }
    const auto refused = Connection::open("127.0.0.1:" + std::to_string(port));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), os_error_text(testing::kConnectionRefused));
}

#ifndef _WIN32  // the Windows texts: windows/os_error_test.cpp
TEST(OsErrorText, IsTheSystemTextWithTheCode) {
    EXPECT_EQ(os_error_text(ECONNREFUSED),
              std::string(std::strerror(ECONNREFUSED)) + " (os error " + std::to_string(ECONNREFUSED) + ")");
    EXPECT_EQ(os_error_text(EPIPE).find(" \n"), std::string::npos);
    const std::string unknown = os_error_text(123456);
    EXPECT_TRUE(unknown.ends_with(" (os error 123456)")) << unknown;
    EXPECT_GT(unknown.size(), std::string(" (os error 123456)").size());
}

TEST(ResolverErrorText, IsTheResolverTextOrTheSystemError) {
    EXPECT_EQ(resolver_error_text(EAI_NONAME, 0), gai_strerror(EAI_NONAME));
    EXPECT_EQ(resolver_error_text(EAI_SYSTEM, EMFILE), os_error_text(EMFILE));
}
#endif

}  // namespace
}  // namespace latchwork
