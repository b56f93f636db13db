// connection_test.cpp: exchanges over a loopback connection, framing and read failures.
#include "client/connection.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <type_traits>

#include "client/os_error.h"
#include "client/request_encoder.h"
#include "loopback.h"

namespace latchwork {
namespace {

using testing::connected_pair;
using testing::receive_exactly;
using testing::send_all;

static_assert(!std::is_copy_constructible_v<Connection>);
static_assert(std::is_nothrow_move_constructible_v<Connection>);

// Exchanges against a scripted peer on the server end of a loopback pair.
class ConnectionTest : public ::testing::Test {
protected:
    ConnectionTest() {
        auto [client, server] = connected_pair();
        connection_.emplace(std::move(client));
        server_ = std::move(server);
    }

    std::string outcome(std::string_view request = kPingRequest) {
        Result<std::string> result = connection_->exchange(request);
        return result.ok() ? "kind " + result.value() : result.error();
    }

    std::optional<Connection> connection_;
    Socket server_;
};

TEST_F(ConnectionTest, SendsTheTextThenOneLineFeed) {
    send_all(server_, "{\"verdict\":\"release\"}\n");
    const std::string request = encode_submit("r1", "e\n7", true);
    EXPECT_EQ(outcome(request), "kind release");
    EXPECT_EQ(receive_exactly(server_, request.size() + 1), request + "\n");
}

TEST_F(ConnectionTest, KeepsExtraLinesForTheFollowingExchanges) {
    send_all(server_, "{\"verdict\":\"a\"}\n{\"verdict\":\"b\"}\r\n  {\"verdict\":\"c\"}\n{\"verdict\"");
    EXPECT_EQ(outcome(), "kind a");
    EXPECT_EQ(outcome(), "kind b");
    EXPECT_EQ(outcome(), "kind c");
    send_all(server_, ":\"d\"}\n");
    EXPECT_EQ(outcome(), "kind d");
    EXPECT_EQ(receive_exactly(server_, 4 * 14), std::string(R"({"op":"ping"})" "\n") + R"({"op":"ping"})" "\n" +
                                                    R"({"op":"ping"})" "\n" + R"({"op":"ping"})" "\n");
}

TEST_F(ConnectionTest, FailuresLeaveTheConnectionInStep) {
    send_all(server_,
             "{\"verdict\":\"error\",\"message\":\"unknown run\"}\n"
             "{\"verdict\":1}\n"
             "{\"verdict\":\"release\"} x\n"
             "{\"verdict\":\"\xff\"}\n"
             "{\"verdict\":\"held_for_approval\"}\n");
    EXPECT_EQ(outcome(), "gate error: unknown run");
    EXPECT_EQ(outcome(), "gate reply missing verdict: \"{\\\"verdict\\\":1}\\n\"");
    EXPECT_EQ(outcome(), "bad gate reply \"{\\\"verdict\\\":\\\"release\\\"} x\\n\": "
                         "trailing characters at line 1 column 23");
    EXPECT_EQ(outcome(), "gate read failed: stream did not contain valid UTF-8");
    EXPECT_EQ(outcome(), "kind held_for_approval");
}

TEST_F(ConnectionTest, ParsesALineCutOffByTheEndOfTheStream) {
    send_all(server_, "{\"verdict\":\"release\"}");
    ::shutdown(server_.get(), testing::kShutWrite);
    EXPECT_EQ(outcome(), "kind release");
    EXPECT_EQ(outcome(), "gate closed the connection");
}

TEST_F(ConnectionTest, ReportsACloseBeforeAnyReplyByteEveryTime) {
    ::shutdown(server_.get(), testing::kShutWrite);
    EXPECT_EQ(outcome(), "gate closed the connection");
    EXPECT_EQ(outcome(), "gate closed the connection");
}

TEST_F(ConnectionTest, ReadsAnEmptyLineAsABadReply) {
    send_all(server_, "\n");
    EXPECT_EQ(outcome(), "bad gate reply \"\\n\": EOF while parsing a value at line 1 column 0");
}

TEST_F(ConnectionTest, ReadsALongLineWholeAcrossManyReads) {
    const std::string kind(100000 - 15, 'k');
    std::thread peer([&] { send_all(server_, "{\"verdict\":\"" + kind + "\"}\n{\"verdict\":\"next\"}\n"); });
    EXPECT_EQ(outcome(), "kind " + kind);
    EXPECT_EQ(outcome(), "kind next");
    peer.join();
}

TEST_F(ConnectionTest, ReportsAResetWhileWaitingAsAReadFailure) {
    std::thread peer([&] {
        receive_exactly(server_, 14);  // the request has arrived: the client is reading
        testing::reset_on_close(server_);
        server_.reset();
    });
    EXPECT_EQ(outcome(), "gate read failed: " + os_error_text(testing::kConnectionReset));
    peer.join();
    // The dead connection stays as it is: later exchanges fail too.
    const std::string later = outcome();
    EXPECT_TRUE(later.starts_with("gate write failed: ") || later.starts_with("gate read failed: ") ||
                later == "gate closed the connection")
        << later;
}

#ifndef _WIN32  // Windows has no signals that cut a socket call short
TEST_F(ConnectionTest, RetriesAReadInterruptedByASignal) {
    struct sigaction action{};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: recv really returns EINTR
    struct sigaction previous{};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    const pthread_t reader = pthread_self();
    std::thread peer([&] {
        receive_exactly(server_, 14);
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pthread_kill(reader, SIGUSR1);
        }
        send_all(server_, "{\"verdict\":\"release\"}\n");
    });
    EXPECT_EQ(outcome(), "kind release");
    peer.join();
    sigaction(SIGUSR1, &previous, nullptr);
}
#endif

TEST_F(ConnectionTest, CapsTheReplyLineAndLeavesTheRestInTheStream) {
    // One byte over the cap, then a line feed, then an ordinary reply.
    std::thread peer([&] {
        send_all(server_, std::string(kMaxReplyLineBytes + 1, 'a'));
        send_all(server_, "\n{\"verdict\":\"after\"}\n");
    });
    EXPECT_EQ(outcome(), "gate read failed: reply line exceeds 67108864 bytes");
    EXPECT_EQ(outcome(), "bad gate reply \"a\\n\": expected value at line 1 column 1");
    EXPECT_EQ(outcome(), "kind after");
    peer.join();
}

TEST_F(ConnectionTest, AcceptsAReplyLineOfExactlyTheCap) {
    const std::string kind(kMaxReplyLineBytes - 14, 'k');
    std::thread peer([&] { send_all(server_, "{\"verdict\":\"" + kind + "\"}\n"); });
    const Result<std::string> result = connection_->exchange(kPingRequest);
    peer.join();
    ASSERT_TRUE(result.ok()) << result.error().substr(0, 80);
    EXPECT_EQ(result.value().size(), kind.size());
}

TEST(Connection, MovesKeepTheConnectionAndItsBuffer) {
    auto [client, server] = connected_pair();
    Connection first(std::move(client));
    send_all(server, "{\"verdict\":\"a\"}\n{\"verdict\":\"b\"}\n");
    ASSERT_EQ(first.exchange(kPingRequest).value(), "a");
    Connection second(std::move(first));
    EXPECT_EQ(second.exchange(kPingRequest).value(), "b");
}

}  // namespace
}  // namespace latchwork
