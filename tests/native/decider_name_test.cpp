// decider_name_test.cpp: the names an audit source is told by, for each kind of source.
#include <gtest/gtest.h>

#include <string_view>

#include "server/core/decider_name.h"

namespace latchwork::server {
namespace {

TEST(DeciderName, OnlyAPersonsSourceLosesItsDoor) {
    struct Case {
        std::string_view source, approver, decider, for_people;
    };
    for (const Case& c : {Case{"console:ada", "ada", "ada", "ada"}, Case{"chat:bob", "bob", "bob", "bob"},
                          Case{"console:", "", "", ""},
                          Case{"expiry", "", "expiry", "expiry"},
                          Case{"line:10.0.0.1:4000", "", "line:10.0.0.1:4000", "10.0.0.1"},
                          Case{"line:[::1]:4000", "", "line:[::1]:4000", "[::1]"},
                          Case{"client:console:x", "", "client:console:x", "console:x"},
                          Case{"rule:small refunds", "", "rule:small refunds", "rule:small refunds"}}) {
        EXPECT_EQ(approver_name(c.source), c.approver) << c.source;
        EXPECT_EQ(decider_name(c.source), c.decider) << c.source;
        EXPECT_EQ(source_for_people(c.source), c.for_people) << c.source;
    }
}

}  // namespace
}  // namespace latchwork::server
