// request_observer_test.cpp: what the request handler tells its observer, and decisions
// taken for a sender authenticated elsewhere.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "server/store/batch_store.h"
#include "server/store/memory_backend.h"
#include "server/store/request_handler.h"
#include "support/secret_bytes.h"

namespace latchwork::server {
namespace {

struct Seen {
    bool readable;
    std::string verdict;
    std::vector<StateChange> changes;
    std::uint64_t batch;
    std::string approver;
};

class Watcher final : public RequestObserver {
public:
    void handled(const Decision& decision) override {
        const bool console = decision.source.door == DecisionSource::Door::console;
        Seen one{decision.request != nullptr, std::string(decision.verdict),
                 {decision.changes.begin(), decision.changes.end()}, decision.batch,
                 console ? std::string(decision.source.who) : std::string()};
        seen.push_back(std::move(one));
    }
    std::vector<Seen> seen;
};

TEST(RequestObserver, SeesEveryRequestWithItsVerdictChangesAndBatch) {
    boost::asio::io_context io;
    BatchStore store{std::make_unique<MemoryBackend>(), io};
    SecretBytes secret;
    secret.push_back('k');
    RequestHandler handler(store, &secret);
    Watcher recorder;
    handler.add_observer(&recorder);

    handler.handle("not json");
    handler.handle(R"({"op":"submit","run_id":"r","effect_key":"e","needs_approval":true})");
    handler.handle(R"({"op":"decide","run_id":"r","effect_key":"e","approved":true})");  // no mac
    Request request;
    request.op = Operation::decide;
    request.run_id = "r";
    request.effect_key = "e";
    request.flag = true;
    const Answer answer = handler.handle_verified(request, DecisionSource{DecisionSource::Door::console, "ada", false, "fine"});
    EXPECT_EQ(answer.line(), "{\"verdict\":\"approved\"}\n");  // handed to the submitter
    EXPECT_EQ(answer.wait_for, 2u);
    handler.handle(R"({"op":"pending_count"})");
    handler.handle(R"({"op":"ping"})");

    ASSERT_EQ(recorder.seen.size(), 6u);
    EXPECT_FALSE(recorder.seen[0].readable);
    EXPECT_EQ(recorder.seen[0].verdict, "error");
    EXPECT_EQ(recorder.seen[1].verdict, "held_for_approval");
    EXPECT_EQ(recorder.seen[1].changes, std::vector{effect_state_change("r", "e", EffectState::pending)});
    EXPECT_EQ(recorder.seen[1].batch, 1u);
    EXPECT_EQ(recorder.seen[2].verdict, "error");  // not authenticated: nothing changed
    EXPECT_TRUE(recorder.seen[2].changes.empty());
    EXPECT_EQ(recorder.seen[3].verdict, "approved");
    EXPECT_EQ(recorder.seen[3].changes, std::vector{effect_state_change("r", "e", EffectState::approved)});
    EXPECT_EQ(recorder.seen[3].batch, 2u);
    EXPECT_EQ(recorder.seen[3].approver, "ada");
    EXPECT_EQ(recorder.seen[4].verdict, "ok");
    EXPECT_EQ(recorder.seen[4].batch, 0u);
    EXPECT_EQ(recorder.seen[5].verdict, "pong");
}

}  // namespace
}  // namespace latchwork::server
