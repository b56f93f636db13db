// request_parser_test.cpp: request lines read into typed requests, or refused with their message.
#include <gtest/gtest.h>

#include <string>

#include "print_sample.h"
#include "server/core/request.h"

namespace latchwork::server {
namespace {

struct Parsed {
    std::string line;
    Operation op;
    std::string run_id;
    std::string effect_key;
    bool flag;
    std::optional<std::string> mac;
};

void PrintTo(const Parsed& row, std::ostream* os) { print_sample(row.line, os); }

class ParseRequest : public ::testing::TestWithParam<Parsed> {};

TEST_P(ParseRequest, ReadsTheMembersTheOperationUses) {
    const Parsed& row = GetParam();
    const Result<Request> result = parse_request(row.line);
    ASSERT_TRUE(result.ok()) << result.error();
    const Request& request = result.value();
    EXPECT_EQ(request.op, row.op);
    EXPECT_EQ(request.run_id, row.run_id);
    EXPECT_EQ(request.effect_key, row.effect_key);
    EXPECT_EQ(request.flag, row.flag);
    EXPECT_EQ(request.mac, row.mac);
}

INSTANTIATE_TEST_SUITE_P(Operations, ParseRequest, ::testing::Values(
    Parsed{R"({"op":"ping","run_id":5})", Operation::ping, "", "", false, std::nullopt},
    Parsed{R"({"effect_key":"e","needs_approval":true,"op":"submit","run_id":"r"})",
           Operation::submit, "r", "e", true, std::nullopt},
    Parsed{R"({"effect_key":"","op":"submit","run_id":"","mac":"m"})", Operation::submit, "", "",
           false, std::nullopt},
    Parsed{R"({"approved":false,"effect_key":"e","mac":"abc","op":"decide","run_id":"r"})",
           Operation::decide, "r", "e", false, "abc"},
    Parsed{R"({"approved":true,"effect_key":"e","mac":7,"op":"decide","run_id":"r"})",
           Operation::decide, "r", "e", true, std::nullopt},
    Parsed{R"({"op":"cancel","run_id":"a\nb\u0000"})", Operation::cancel,
           std::string("a\nb\0", 4), "", false, std::nullopt},
    Parsed{R"({"op":"close_run","run_id":"r","effect_key":5})", Operation::close_run, "r", "",
           false, std::nullopt},
    Parsed{R"({"op":"is_cancelled","run_id":"r"})", Operation::is_cancelled, "r", "", false,
           std::nullopt},
    Parsed{R"({"op":"is_closed","run_id":"r"})", Operation::is_closed, "r", "", false,
           std::nullopt},
    Parsed{R"( {"op":"pending_count"} )" "\r", Operation::pending_count, "", "", false,
           std::nullopt},
    Parsed{R"({"op":"state_len","run_id":null})", Operation::state_len, "", "", false,
           std::nullopt}));

struct Refused {
    std::string line;
    std::string message;
};

void PrintTo(const Refused& row, std::ostream* os) { print_sample(row.line, os); }

class RefuseRequest : public ::testing::TestWithParam<Refused> {};

TEST_P(RefuseRequest, WithTheMessageOfTheFirstFault) {
    const Result<Request> result = parse_request(GetParam().line);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Faults, RefuseRequest, ::testing::Values(
    // UTF-8 is checked before the syntax, the syntax before the shape
    Refused{"{\xff", "request is not valid UTF-8"},
    Refused{"{", "request is not valid JSON: EOF while parsing an object at line 1 column 1"},
    Refused{"[{\"op\":\"ping\"}]", "request is not a JSON object"},
    // op before the other members, then run_id, effect_key and the flag in that order
    Refused{R"({"run_id":5})", "missing member: op"},
    Refused{R"({"op":true,"run_id":5})", "member op must be a string"},
    Refused{R"({"op":"submit ","run_id":5})", "unknown op: submit "},
    Refused{R"({"op":"submit","run_id":5,"effect_key":5,"needs_approval":5})",
            "member run_id must be a string"},
    Refused{R"({"op":"submit","run_id":"r","effect_key":5,"needs_approval":5})",
            "member effect_key must be a string"},
    Refused{R"({"op":"submit","run_id":"r","effect_key":"e","needs_approval":"true"})",
            "member needs_approval must be a boolean"},
    // decide takes approved, not needs_approval, and must have it
    Refused{R"({"op":"decide","run_id":"r","effect_key":"e","needs_approval":true})",
            "missing member: approved"},
    Refused{R"({"op":"decide","run_id":"r","effect_key":"e","approved":"yes"})",
            "member approved must be a boolean"},
    Refused{R"({"op":"pending_count","op":"cancel"})", "missing member: run_id"}));

}  // namespace
}  // namespace latchwork::server
