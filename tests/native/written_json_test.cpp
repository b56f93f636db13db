// written_json_test.cpp: a detail keeps the numbers its submitter wrote, is compared by value, and reaches a body unchanged.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <string_view>

#include "server/core/written_json.h"

namespace latchwork::server {
namespace {

TEST(WrittenJson, SortsMembersAndKeepsNumbersAsWritten) {
    struct Case {
        std::string_view text, written;
    };
    for (const Case& c : {Case{R"({"b": 120.50, "a": [1, 2.0e1, -0.5E-3]})", R"({"a":[1,2.0e1,-0.5E-3],"b":120.50})"},
                          Case{R"({"a":1,"b":{"d":true,"c":null},"a":19.99})", R"({"a":19.99,"b":{"c":null,"d":true}})"},
                          Case{R"({"\u00e9\n":"x\/y","":{}, "e":[]})", "{\"\":{},\"e\":[],\"\xc3\xa9\\n\":\"x/y\"}"}}) {
        EXPECT_EQ(written_form(c.text), c.written) << c.text;
    }
}

TEST(WrittenJson, ComparesByValue) {
    struct Case {
        std::string_view a, b;
        bool same;
    };
    for (const Case& c : {Case{R"({"a":19.99})", R"({"a":1.999E1})", true},
                          Case{R"({"a":120.50,"b":1})", R"({"b":1,"a":120.5})", true},
                          Case{R"({"a":100})", R"({"a":1E2})", true},
                          Case{R"({"a":9007199254740993})", R"({"a":9007199254740992})", false},
                          Case{R"({"a":19.99})", R"({"a":"19.99"})", false},
                          Case{R"({"a":19.99})", "", false},
                          Case{"", "", true}}) {
        EXPECT_EQ(same_json(c.a, c.b), c.same) << c.a << " vs " << c.b;
    }
}

TEST(WrittenJson, ABodyCarriesTheWrittenTextUnchanged) {
    const boost::json::object body{{"detail", written_json(R"({"amount":120.50})")},
                                   {"none", written_json("")},
                                   {"id", "\xff"}};  // a plain string that is no written text
    EXPECT_EQ(serialize_keeping_written(body), R"({"detail":{"amount":120.50},"none":null,"id":")"
                                               "\xff\"}");
}

}  // namespace
}  // namespace latchwork::server
