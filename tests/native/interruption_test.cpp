// interruption_test.cpp: exchanges and connects cut short by signals, given up or carried on.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "client/connection.h"
#include "client/interruption.h"
#include "client/os_error.h"
#include "client/request_encoder.h"
#include "loopback.h"

namespace latchwork {
namespace {

using testing::connected_pair;
using testing::Listener;
using testing::receive_exactly;
using testing::send_all;

// While alive, interrupts the creating thread's blocking calls with SIGUSR1 every
// 20 ms (a handler without SA_RESTART, so they really return EINTR), until stop().
class Interrupter {
public:
    Interrupter() : target_(pthread_self()) {
        struct sigaction action{};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &previous_);
        thread_ = std::thread([this] {
            while (!stopped_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                if (!stopped_) pthread_kill(target_, SIGUSR1);
            }
        });
    }
    ~Interrupter() {
        stop();
        sigaction(SIGUSR1, &previous_, nullptr);
    }
    void stop() {
        stopped_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    pthread_t target_;
    struct sigaction previous_{};
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

// Gives up at the `give_up_at`-th interruption (0: never), counting them all.
struct CountingCheck {
    int give_up_at = 1;
    std::atomic<int> calls{0};
    bool operator()() { return ++calls == give_up_at; }
};

std::size_t open_descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

TEST(InterruptCheck, DefaultNeverGivesUpAndAReferenceCallsItsCallable) {
    EXPECT_FALSE(InterruptCheck{}.give_up());
    CountingCheck counting{2};
    const InterruptCheck check(counting);
    EXPECT_FALSE(check.give_up());
    EXPECT_TRUE(check.give_up());
    EXPECT_EQ(counting.calls, 2);
}

TEST(InterruptedExchange, GivenUpWhileReadingPutsTheConnectionOutOfStepForGood) {
    auto [client, server] = connected_pair();
    Connection connection(std::move(client));
    CountingCheck check;
    {
        Interrupter interrupter;
        EXPECT_FALSE(connection.exchange(kPingRequest, check).has_value());
    }
    EXPECT_EQ(check.calls, 1);
    EXPECT_TRUE(connection.out_of_step());
    EXPECT_EQ(receive_exactly(server, 14), std::string(kPingRequest) + "\n");

    // The late reply is there to be read, and is not: every later exchange refuses.
    send_all(server, "{\"verdict\":\"release\"}\n");
    for (int i = 0; i < 2; ++i) {
        const Interruptible<std::string> later = connection.exchange(encode_cancel("r"), check);
        ASSERT_TRUE(later.has_value());
        ASSERT_FALSE(later->ok());
        EXPECT_EQ(later->error(), kOutOfStepMessage);
    }
    EXPECT_EQ(connection.exchange(kPingRequest).error(), kOutOfStepMessage);
    // ... and wrote nothing (loopback delivers within the send call).
    char byte;
    EXPECT_EQ(::recv(server.get(), &byte, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(InterruptedExchange, CarriesOnWhileTheCheckSaysSo) {
    auto [client, server] = connected_pair();
    Connection connection(std::move(client));
    CountingCheck check{0};
    Interrupter interrupter;
    std::thread peer([&] {
        receive_exactly(server, 14);
        while (check.calls < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        send_all(server, "{\"verdict\":\"late\"}\n");
    });
    const Interruptible<std::string> outcome = connection.exchange(kPingRequest, check);
    peer.join();
    interrupter.stop();
    ASSERT_TRUE(outcome.has_value() && outcome->ok());
    EXPECT_EQ(outcome->value(), "late");
    EXPECT_GE(check.calls, 3);
    EXPECT_FALSE(connection.out_of_step());
}

TEST(InterruptedExchange, GivenUpBeforeAnyByteWasWrittenStaysInStep) {
    auto [client, server] = connected_pair();
    // Fill the client's send queue (and the peer's receive queue) through a second
    // handle on the same socket, so that the exchange's first write finds no room.
    const int fd = client.get();
    const std::string chunk(65536, 'x');
    std::size_t filled = 0;
    for (;;) {
        const ssize_t sent = ::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) break;
        filled += static_cast<std::size_t>(sent);
    }
    ASSERT_EQ(errno, EAGAIN);
    Connection connection(std::move(client));
    CountingCheck check;
    {
        Interrupter interrupter;
        EXPECT_FALSE(connection.exchange(encode_submit("r", "e", false), check).has_value());
    }
    EXPECT_FALSE(connection.out_of_step());

    // The next exchange goes through, and the peer finds no trace of the first.
    std::thread peer([&] {
        EXPECT_EQ(receive_exactly(server, filled), std::string(filled, 'x'));
        EXPECT_EQ(receive_exactly(server, 14), std::string(kPingRequest) + "\n");
        send_all(server, "{\"verdict\":\"release\"}\n");
    });
    const Result<std::string> next = connection.exchange(kPingRequest);
    peer.join();
    ASSERT_TRUE(next.ok()) << next.error();
    EXPECT_EQ(next.value(), "release");
}

// A listener with a backlog of 0 that never accepts, its one queue place taken:
// a further connect waits (its SYNs are dropped and sent again) until the place
// frees or the listener goes away.
struct FullBacklog {
    FullBacklog() {
        listener.emplace(AF_INET, 0);
        filler = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(listener->port());
        if (::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("filler connect");
        }
    }
    std::optional<Listener> listener;
    Socket filler;
};

TEST(InterruptedConnect, GivenUpClosesTheAttemptsSocket) {
    FullBacklog backlog;
    const std::size_t before = open_descriptors();
    CountingCheck check;
    Interruptible<Connection> opened;
    {
        Interrupter interrupter;
        opened = Connection::open(backlog.listener->address(), check);
    }
    EXPECT_FALSE(opened.has_value());
    EXPECT_EQ(check.calls, 1);
    EXPECT_EQ(open_descriptors(), before);
}

// Carried on after an interruption, the connect finishes in the background: it
// connects once the queue has room, or reports the refusal in the usual words.
TEST(InterruptedConnect, CarriedOnEndsAsTheConnectItself) {
    for (const bool refuse : {false, true}) {
        FullBacklog backlog;
        const std::string address = backlog.listener->address();
        CountingCheck check{0};
        Interruptible<Connection> opened;
        {
            Interrupter interrupter;
            std::thread server([&] {
                while (check.calls < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (refuse) {
                    backlog.listener.reset();
                } else {
                    Socket accepted = backlog.listener->accept();  // the filler's place frees
                    (void)accepted;
                }
            });
            opened = Connection::open(address, check);
            server.join();
        }
        ASSERT_TRUE(opened.has_value()) << refuse;
        EXPECT_GE(check.calls, 3);
        if (refuse) {
            ASSERT_FALSE(opened->ok());
            EXPECT_EQ(opened->error(), os_error_text(ECONNREFUSED));
        } else {
            EXPECT_TRUE(opened->ok()) << opened->error();
        }
    }
}

}  // namespace
}  // namespace latchwork
