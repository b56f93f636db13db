// durable_replies_test.cpp: a reply leaves only once the store batch it reflects is durable.
//
// A store that holds every batch until the test lets it go stands in for one that
// commits on a thread of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "client/socket.h"
#include "loopback.h"
#include "server/net/gate_server.h"
#include "server/store/batch_store.h"
#include "server/store/memory_backend.h"
#include "server/store/request_handler.h"

namespace latchwork::server {
namespace {

// Decides as the memory store does, but numbers each request a batch of its own and
// holds every batch until the test lets it go.
class HeldStore final : public Store {
public:
    explicit HeldStore(boost::asio::io_context& io) : decider_(std::make_unique<MemoryBackend>(), io) {}

    Result<std::monostate> load() override { return decider_.load(); }
    Answer answer(const Request& request, const DecisionSource& source) override {
        Answer decided = decider_.answer(request, source);
        decided.wait_for = ++recorded_;
        return decided;
    }
    void set_hold_timeout(std::chrono::milliseconds timeout) override { decider_.set_hold_timeout(timeout); }
    void set_rules(RulesInForce* rules) override { decider_.set_rules(rules); }
    std::optional<std::int64_t> next_expiry_check() const override { return std::nullopt; }
    std::size_t expire_due(std::int64_t) override { return 0; }
    void set_expiry_listener(std::function<void()>) override {}
    void set_decided_listener(DecidedListener listener) override { decider_.set_decided_listener(std::move(listener)); }
    std::uint64_t last_recorded() const noexcept override { return recorded_; }
    std::uint64_t durable() const noexcept override { return durable_; }
    void set_durable_listener(std::function<void()> listener) override { listener_ = std::move(listener); }
    const Failure* failure() const noexcept override { return failure_ ? &*failure_ : nullptr; }
    Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                              std::string_view run_prefix) override {
        return decider_.read_held(limit, after, run_prefix);
    }
    Result<std::optional<RunState>> read_run(std::string_view run_id) override { return decider_.read_run(run_id); }
    Result<std::uint64_t> read_pending_count() override { return decider_.read_pending_count(); }
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override { return decider_.read_audit(query); }

    // On the network thread, as a committing store would post it.
    void commit_all() { commit_up_to(recorded_); }
    void commit_up_to(std::uint64_t batch) {
        durable_ = batch;
        if (listener_) listener_();
    }
    // The batches after `batch` failed to commit.
    void fail_after(std::uint64_t batch, std::string message) {
        durable_ = batch;
        failure_ = Failure{std::move(message)};
        if (listener_) listener_();
    }

private:
    BatchStore decider_;
    std::uint64_t recorded_ = 0;
    std::uint64_t durable_ = 0;
    std::function<void()> listener_;
    std::optional<Failure> failure_;
};

class DurableReplies : public ::testing::Test {
protected:
    void SetUp() override {
        const auto bound = server.listen({boost::asio::ip::make_address("127.0.0.1"), 0});
        ASSERT_TRUE(bound.ok()) << bound.error();
        port = bound.value().port();
        server.start();
        runner = std::thread([this] { io.run(); });
    }

    void TearDown() override {
        boost::asio::post(io, [this] { server.stop(); });
        runner.join();
    }

    // Runs `work` on the network thread and waits for it.
    template <class Work>
    void on_network_thread(Work work) {
        std::promise<void> done;
        boost::asio::post(io, [&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }

    Socket connect() {
        Socket client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        testing::Listener::set_timeouts(client);
        return client;
    }

    // Waits until the network thread has recorded `count` batches.
    void wait_until_recorded(std::uint64_t count) {
        for (;;) {
            std::uint64_t recorded = 0;
            on_network_thread([&] { recorded = store.last_recorded(); });
            if (recorded >= count) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    static void send_text(const Socket& client, const std::string& text) {
        ASSERT_EQ(::send(client.get(), text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }

    static bool readable_within(const Socket& client, int milliseconds) {
        pollfd entry{client.get(), POLLIN, 0};
        return ::poll(&entry, 1, milliseconds) == 1;
    }

    // Reads until `count` line feeds have come.
    static std::string read_lines(const Socket& client, int count) {
        std::string text;
        char buffer[4096];
        while (std::count(text.begin(), text.end(), '\n') < count) {
            const ssize_t got = ::recv(client.get(), buffer, sizeof buffer, 0);
            if (got <= 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

    boost::asio::io_context io{1};
    HeldStore store{io};
    HeldStore& recorder = store;
    RequestHandler handler{store, nullptr};
    GateServer server{io, handler, store, ServerLimits{}};
    std::uint16_t port = 0;
    std::thread runner;
};

constexpr const char* kSubmit = R"({"op":"submit","run_id":"r","effect_key":"e"})" "\n";

TEST_F(DurableReplies, AVerdictAndEverythingBehindItWaitForTheCommit) {
    const Socket client = connect();
    send_text(client, std::string(kSubmit) + R"({"op":"ping"})" "\n");
    EXPECT_FALSE(readable_within(client, 300));
    on_network_thread([&] { recorder.commit_all(); });
    EXPECT_EQ(read_lines(client, 2), "{\"verdict\":\"release\"}\n{\"verdict\":\"pong\"}\n");
}

TEST_F(DurableReplies, AnswersThatChangedNothingWaitForWhatWasDecidedBefore) {
    const Socket deciding = connect();
    send_text(deciding, kSubmit);
    // The submission is decided (but not durable) before the others ask.
    wait_until_recorded(1);
    const Socket asking = connect();
    send_text(asking, R"({"op":"state_len"})" "\n");
    const Socket repeating = connect();
    send_text(repeating, kSubmit);
    const Socket pinging = connect();
    send_text(pinging, R"({"op":"ping"})" "\n" R"({"op":"nope"})" "\n");
    // Replies that reflect no state go at once.
    EXPECT_EQ(read_lines(pinging, 2),
              "{\"verdict\":\"pong\"}\n{\"message\":\"unknown op: nope\",\"verdict\":\"error\"}\n");
    EXPECT_FALSE(readable_within(deciding, 100));
    EXPECT_FALSE(readable_within(asking, 100));
    EXPECT_FALSE(readable_within(repeating, 100));
    on_network_thread([&] { recorder.commit_all(); });
    EXPECT_EQ(read_lines(deciding, 1), "{\"verdict\":\"release\"}\n");
    EXPECT_EQ(read_lines(asking, 1), "{\"value\":1,\"verdict\":\"ok\"}\n");
    EXPECT_EQ(read_lines(repeating, 1), "{\"verdict\":\"refused_duplicate\"}\n");
}

TEST_F(DurableReplies, PipelinedRepliesLeaveAsFarAsTheirBatchesAreDurable) {
    const Socket client = connect();
    std::string requests;
    for (int i = 0; i < 90; ++i) {
        requests += R"({"op":"submit","run_id":"r","effect_key":")" + std::to_string(i) + "\"}\n";
    }
    send_text(client, requests);
    wait_until_recorded(90);
    std::string released;
    for (int i = 0; i < 50; ++i) released += "{\"verdict\":\"release\"}\n";
    on_network_thread([&] { recorder.commit_up_to(50); });
    EXPECT_EQ(read_lines(client, 50), released);
    EXPECT_FALSE(readable_within(client, 100));
    on_network_thread([&] { recorder.commit_all(); });
    EXPECT_EQ(read_lines(client, 40), released.substr(0, 40 * released.size() / 50));
}

TEST_F(DurableReplies, AFailedCommitAnswersWhatWaitsOnItWithTheFailureAndStops) {
    const Socket client = connect();
    std::string requests;
    for (int i = 0; i < 10; ++i) {
        requests += R"({"op":"submit","run_id":"r","effect_key":")" + std::to_string(i) + "\"}\n";
    }
    send_text(client, requests);
    wait_until_recorded(10);
    on_network_thread([&] { recorder.fail_after(4, "store failed: disk on fire"); });
    std::string expected;
    for (int i = 0; i < 4; ++i) expected += "{\"verdict\":\"release\"}\n";
    for (int i = 4; i < 10; ++i) {
        expected += "{\"message\":\"store failed: disk on fire\",\"verdict\":\"error\"}\n";
    }
    EXPECT_EQ(read_lines(client, 11), expected);  // and then the end of the stream
    runner.join();  // the server stopped on its own: io.run() returned
    runner = std::thread([] {});
}

}  // namespace
}  // namespace latchwork::server
