// decider_name_test.cpp: the names an audit source is told by, for each kind of source.
#include <gtest/gtest.h>

#include <string_view>

#include "server/core/decider_name.h"

namespace latchwork::server {
namespace {

TEST(DeciderName, OnlyAPersonsSourceLosesItsDoor) {
    struct Case {
        std::string_view source, approver, decider;
    };
    for (const Case& c : {Case{"console:ada", "ada", "ada"}, Case{"console:", "", ""},
                          Case{"expiry", "", "expiry"},
                          Case{"line:10.0.0.1:4000", "", "line:10.0.0.1:4000"},
                          Case{"client:console:x", "", "client:console:x"}}) {
        EXPECT_EQ(approver_name(c.source), c.approver) << c.source;
        EXPECT_EQ(decider_name(c.source), c.decider) << c.source;
    }
}

}  // namespace
}  // namespace latchwork::server
