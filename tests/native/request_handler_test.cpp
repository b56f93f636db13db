// request_handler_test.cpp: the changes each decided request hands to the store, and the
// batch each reply waits for.
#include "server/store/request_handler.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hmac/decision_tag.h"
#include <boost/asio/io_context.hpp>

#include "forwarding_backend.h"
#include "server/store/batch_store.h"

namespace latchwork::server {
namespace {

StateChange now(EffectState state, const char* key) { return effect_state_change("r", key, state); }
const EffectState pending = EffectState::pending, released = EffectState::released,
                  rejected = EffectState::rejected;

// Keeps the changes of each written batch that changed something or left an entry; a
// write fails once `failing` is set.
class RecordingBackend final : public testing::ForwardingBackend {
public:
    BackendStep write(std::span<const BatchRequest> batch, std::span<const AuditEntry> entries) override {
        std::vector<StateChange> changes;
        for (const BatchRequest& item : batch) changes.insert(changes.end(), item.changes.begin(), item.changes.end());
        BackendStep written = inner_.write(batch, entries);
        if (failing) return BackendStep{BackendStep::Kind::broken, *failing};
        if (!changes.empty() || !entries.empty()) batches.push_back(std::move(changes));
        return written;
    }

    std::vector<std::vector<StateChange>> batches;
    std::optional<std::string> failing;
};

std::string submit(const char* run, const char* key, bool needs_approval) {
    return std::string(R"({"op":"submit","run_id":")") + run + R"(","effect_key":")" + key +
           R"(","needs_approval":)" + (needs_approval ? "true" : "false") + "}";
}

std::string decide(const char* run, const char* key, bool approved, std::string mac = "") {
    return std::string(R"({"op":"decide","run_id":")") + run + R"(","effect_key":")" + key +
           R"(","approved":)" + (approved ? "true" : "false") +
           (mac.empty() ? "" : R"(,"mac":")" + mac + "\"") + "}";
}

std::string run_op(const char* op, const char* run) {
    return std::string(R"({"op":")") + op + R"(","run_id":")" + run + "\"}";
}

struct Step {
    std::string line;
    std::string reply;
    std::vector<StateChange> changes;  // empty: the request changed nothing
};

class HandlerChanges : public ::testing::Test {
protected:
    // Runs the steps in order; each reply that the store took waits for its own batch.
    void run(const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            const std::size_t before = store.batches.size();
            const Answer answer = handler.handle(step.line);
            EXPECT_EQ(answer.line(), step.reply) << step.line;
            const bool refused = answer.line().find("\"error\"") != std::string::npos;
            const bool ping = answer.line() == "{\"verdict\":\"pong\"}\n";
            // A decide answered with a verdict always leaves an audit entry, so it
            // always has a batch to wait for, changed or not.
            const bool decided = !refused && step.line.find(R"("op":"decide")") != std::string::npos;
            if (step.changes.empty() && !decided) {
                EXPECT_EQ(store.batches.size(), before) << step.line;
            } else {
                ASSERT_EQ(store.batches.size(), before + 1) << step.line;
                EXPECT_EQ(store.batches.back(), step.changes) << step.line;
            }
            EXPECT_EQ(answer.wait_for, refused || ping ? 0 : batch_store.last_recorded()) << step.line;
        }
    }

    boost::asio::io_context io;
    std::unique_ptr<RecordingBackend> owned = std::make_unique<RecordingBackend>();
    RecordingBackend& store = *owned;
    BatchStore batch_store{std::move(owned), io};
    RequestHandler handler{batch_store, nullptr};
};

TEST_F(HandlerChanges, EffectsChangeOnlyWhenTheirStateDoes) {
    run({
        {R"({"op":"ping"})", "{\"verdict\":\"pong\"}\n", {}},
        {submit("r", "a", false), "{\"verdict\":\"release\"}\n", {now(released, "a")}},
        {submit("r", "a", true), "{\"verdict\":\"refused_duplicate\"}\n", {}},
        {submit("r", "h", true), "{\"verdict\":\"held_for_approval\"}\n", {now(pending, "h")}},
        {submit("r", "h", false), "{\"verdict\":\"held_for_approval\"}\n", {}},
        {decide("r", "h", true), "{\"verdict\":\"release\"}\n", {now(released, "h")}},
        {decide("r", "h", false), "{\"verdict\":\"refused_duplicate\"}\n", {}},
        {decide("r", "n", true), "{\"verdict\":\"refused_duplicate\"}\n", {}},
        {decide("r", "n", false), "{\"verdict\":\"refused_rejected\"}\n", {now(rejected, "n")}},
        {decide("r", "n", false), "{\"verdict\":\"refused_rejected\"}\n", {}},
        {submit("r", "j", true), "{\"verdict\":\"held_for_approval\"}\n", {now(pending, "j")}},
        {decide("r", "j", false), "{\"verdict\":\"refused_rejected\"}\n", {now(rejected, "j")}},
        {R"({"op":"state_len"})", "{\"value\":4,\"verdict\":\"ok\"}\n", {}},
        {R"({"op":"nope"})", "{\"message\":\"unknown op: nope\",\"verdict\":\"error\"}\n", {}},
    });
}

TEST_F(HandlerChanges, RunsChangeOnceEach) {
    run({
        {submit("r", "h", true), "{\"verdict\":\"held_for_approval\"}\n", {now(pending, "h")}},
        {run_op("cancel", "r"), "{\"verdict\":\"ok\"}\n", {run_cancelled_change("r")}},
        {run_op("cancel", "r"), "{\"verdict\":\"ok\"}\n", {}},
        {run_op("is_cancelled", "r"), "{\"value\":true,\"verdict\":\"ok\"}\n", {}},
        {decide("r", "h", true), "{\"verdict\":\"refused_cancelled\"}\n", {}},
        {run_op("close_run", "r"), "{\"verdict\":\"ok\"}\n", {run_closed_change("r")}},
        {run_op("close_run", "r"), "{\"verdict\":\"ok\"}\n", {}},
        {run_op("close_run", "new"), "{\"verdict\":\"ok\"}\n", {run_closed_change("new")}},
        {run_op("is_closed", "new"), "{\"value\":true,\"verdict\":\"ok\"}\n", {}},
    });
}

TEST(HandlerSecret, OnlyATagForThisVerySecretAndDecisionIsTaken) {
    boost::asio::io_context io;
    std::unique_ptr<RecordingBackend> owned = std::make_unique<RecordingBackend>();
    RecordingBackend& store = *owned;
    BatchStore batch_store{std::move(owned), io};
    SecretBytes secret;
    const std::uint8_t bytes[] = {'k', 0, '\n'};
    secret.assign(bytes);
    RequestHandler handler(batch_store, &secret);
    const std::string refused = "{\"message\":\"decision not authenticated\",\"verdict\":\"error\"}\n";
    ASSERT_EQ(handler.handle(submit("r", "e", true)).line(), "{\"verdict\":\"held_for_approval\"}\n");
    EXPECT_EQ(handler.handle(decide("r", "e", true)).line(), refused);
    EXPECT_EQ(handler.handle(decide("r", "e", true, compute_decision_tag(bytes, "r", "e", false))).line(),
              refused);
    EXPECT_EQ(store.batches.size(), 1u);
    EXPECT_EQ(handler.handle(decide("r", "e", true, compute_decision_tag(bytes, "r", "e", true))).line(),
              "{\"verdict\":\"release\"}\n");
    EXPECT_EQ(store.batches.size(), 2u);
}

TEST_F(HandlerChanges, AfterAStoreFailureEveryRequestGetsItsMessageAndChangesNothing) {
    store.failing = "store failed: database or disk is full";
    handler.handle(submit("r", "first", false));  // its write fails
    const std::size_t state_len = store.resident().ledger().state_len();
    const std::string refused =
        "{\"message\":\"store failed: database or disk is full\",\"verdict\":\"error\"}\n";
    for (const std::string& line : {submit("r", "a", false), decide("r", "a", true),
                                    run_op("cancel", "r"), std::string(R"({"op":"ping"})"),
                                    std::string("not json")}) {
        const Answer answer = handler.handle(line);
        EXPECT_EQ(answer.line(), refused) << line;
        EXPECT_EQ(answer.wait_for, 0u) << line;
    }
    EXPECT_TRUE(store.batches.empty());
    EXPECT_EQ(store.resident().ledger().state_len(), state_len);
}

}  // namespace
}  // namespace latchwork::server
