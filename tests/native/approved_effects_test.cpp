// approved_effects_test.cpp: a person's approval handed to the submitter, and the
// details and waits a submit may carry, through the request handler.
#include <gtest/gtest.h>

#include <string>

#include <boost/asio/io_context.hpp>

#include "server/store/batch_store.h"
#include "server/store/memory_backend.h"
#include "server/store/request_handler.h"

namespace latchwork::server {
namespace {

class ApprovedEffects : public ::testing::Test {
protected:
    std::string line(std::string_view text) { return handler.handle(text, "10.0.0.1:9").line(); }
    std::string person(std::string_view effect, bool approved) {
        Request request;
        request.op = Operation::decide;
        request.run_id = "r";
        request.effect_key = std::string(effect);
        request.flag = approved;
        return handler
            .handle_verified(request, DecisionSource{DecisionSource::Door::console, "ada", false, "ok"})
            .line();
    }
    std::string hold(std::string_view effect, std::string_view extra = "") {
        return line(std::string(R"({"op":"submit","run_id":"r","needs_approval":true,"effect_key":")") +
                    std::string(effect) + "\"" + std::string(extra) + "}");
    }
    std::string count(std::string_view op) {
        return line(std::string(R"({"op":")") + std::string(op) + "\"}");
    }

    boost::asio::io_context io;
    BatchStore store{std::make_unique<MemoryBackend>(), io};
    RequestHandler handler{store, nullptr};
};

constexpr const char* kRelease = "{\"verdict\":\"release\"}\n";
constexpr const char* kDuplicate = "{\"verdict\":\"refused_duplicate\"}\n";

TEST_F(ApprovedEffects, TheSubmitterTakesThePersonsApprovalExactlyOnce) {
    hold("e");
    EXPECT_EQ(person("e", true), "{\"verdict\":\"approved\"}\n");
    EXPECT_EQ(count("pending_count"), "{\"value\":0,\"verdict\":\"ok\"}\n");
    EXPECT_EQ(count("state_len"), "{\"value\":1,\"verdict\":\"ok\"}\n");
    // No decider takes it, and it does not change.
    EXPECT_EQ(line(R"({"op":"decide","run_id":"r","effect_key":"e","approved":true})"), kDuplicate);
    EXPECT_EQ(line(R"({"op":"decide","run_id":"r","effect_key":"e","approved":false})"), kDuplicate);
    EXPECT_EQ(person("e", false), "{\"state\":\"approved\",\"verdict\":\"already_decided\"}\n");
    EXPECT_EQ(hold("e"), kRelease);
    EXPECT_EQ(hold("e"), kDuplicate);
    EXPECT_EQ(person("e", true), "{\"state\":\"released\",\"verdict\":\"already_decided\"}\n");

    const std::vector<AuditEntry> log = store.read_audit({}).value();
    ASSERT_EQ(log.size(), 5u);  // held, approved, two refused line decides, taken
    EXPECT_EQ(log.back().event, AuditEvent::taken);
    EXPECT_EQ(log.back().source, "line:10.0.0.1:9");
}

TEST_F(ApprovedEffects, CancelDropsApprovedEffectsAndCloseForgetsThem) {
    hold("a");
    person("a", true);
    line(R"({"op":"cancel","run_id":"r"})");
    EXPECT_EQ(hold("a"), "{\"verdict\":\"refused_cancelled\"}\n");
    EXPECT_EQ(count("state_len"), "{\"value\":0,\"verdict\":\"ok\"}\n");
    EXPECT_TRUE(store.read_held(10, 0, "").value().empty());
}

TEST_F(ApprovedEffects, ApprovedEffectsDoNotExpire) {
    store.set_hold_timeout(std::chrono::milliseconds(1));
    hold("a");
    hold("b");
    person("a", true);
    EXPECT_EQ(store.expire_due(unix_time_ms() + 1000), 1u);
    EXPECT_EQ(hold("a"), kRelease);
    EXPECT_EQ(hold("b"), "{\"verdict\":\"refused_rejected\"}\n");
}

TEST_F(ApprovedEffects, OneKeyOneDetail) {
    EXPECT_EQ(hold("e", R"(,"detail":{"to":"x@y","n":[1,2]})"), "{\"verdict\":\"held_for_approval\"}\n");
    const std::vector<HeldEffect> held = store.read_held(10, 0, "").value();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].detail, R"({"n":[1,2],"to":"x@y"})");
    const std::string differs = "{\"message\":\"detail differs from the waiting effect's\",\"verdict\":\"error\"}\n";
    EXPECT_EQ(hold("e", R"(,"detail":{"to":"z@y","n":[1,2]})"), differs);
    EXPECT_EQ(hold("e", R"(, "detail" : { "n" : [1, 2], "to" : "x@y" })"), "{\"verdict\":\"held_for_approval\"}\n");
    EXPECT_EQ(hold("e"), "{\"verdict\":\"held_for_approval\"}\n");  // none said: as before
    person("e", true);
    EXPECT_EQ(hold("e", R"(,"detail":{"to":"z@y"})"), differs);  // approved for another text
    EXPECT_EQ(hold("e", R"(,"detail":{"n":[1,2],"to":"x@y"})"), kRelease);
}

TEST_F(ApprovedEffects, BadDetailsAndWaitsAreRefusedNamingTheMember) {
    const std::string deep = std::string(17, '[') + std::string(17, ']');
    const std::pair<std::string, std::string> cases[] = {
        {R"(,"detail":[1])", "member detail must be an object"},
        {R"(,"detail":"text")", "member detail must be an object"},
        {R"(,"detail":null)", "member detail must be an object"},
        {R"(,"detail":{"a":)" + deep + "}", "member detail nests deeper than 16 levels"},
        {R"(,"detail":{"a":")" + std::string(16 * 1024, 'x') + "\"}", "member detail is longer than 16384 bytes"},
        {R"(,"wait_ms":-1)", "member wait_ms must be a whole number from 0 to 900000"},
        {R"(,"wait_ms":1.5)", "member wait_ms must be a whole number from 0 to 900000"},
        {R"(,"wait_ms":1e3)", "member wait_ms must be a whole number from 0 to 900000"},
        {R"(,"wait_ms":"5")", "member wait_ms must be a whole number from 0 to 900000"},
        {R"(,"wait_ms":900001)", "member wait_ms must be a whole number from 0 to 900000"},
    };
    for (const auto& [extra, message] : cases) {
        EXPECT_EQ(hold("e", extra), "{\"message\":\"" + message + "\",\"verdict\":\"error\"}\n") << extra;
    }
    EXPECT_EQ(count("state_len"), "{\"value\":0,\"verdict\":\"ok\"}\n");
    EXPECT_EQ(hold("e", R"(,"wait_ms":900000)"), "{\"verdict\":\"held_for_approval\"}\n");
}

}  // namespace
}  // namespace latchwork::server
