// reply_writer_test.cpp: the exact bytes of each reply form, and what a client reads from them.
#include "server/core/reply_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "client/reply.h"

namespace latchwork::server {
namespace {

TEST(ReplyWriter, ExactBytesOfEachForm) {
    EXPECT_EQ(verdict_reply("release"), "{\"verdict\":\"release\"}\n");
    EXPECT_EQ(verdict_reply("ok"), "{\"verdict\":\"ok\"}\n");
    EXPECT_EQ(flag_reply(true), "{\"value\":true,\"verdict\":\"ok\"}\n");
    EXPECT_EQ(flag_reply(false), "{\"value\":false,\"verdict\":\"ok\"}\n");
    EXPECT_EQ(count_reply(0), "{\"value\":0,\"verdict\":\"ok\"}\n");
    EXPECT_EQ(count_reply(18446744073709551615u),
              "{\"value\":18446744073709551615,\"verdict\":\"ok\"}\n");
    EXPECT_EQ(error_reply("missing member: op"),
              "{\"message\":\"missing member: op\",\"verdict\":\"error\"}\n");
}

TEST(ReplyWriter, MessagesAreEscapedOntoOneLine) {
    const std::string message("unknown op: \"a\\b\"\n\r\t\x01/\xc3\xa9\0", 25);
    const std::string line = error_reply(message);
    EXPECT_EQ(line,
              "{\"message\":\"unknown op: \\\"a\\\\b\\\"\\n\\r\\t\\u0001/\xc3\xa9\\u0000\","
              "\"verdict\":\"error\"}\n");
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    // The client gets the message back byte for byte.
    const Result<std::string> read = interpret_reply(line);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error(), "gate error: " + message);
}

TEST(ReplyWriter, ClientsReadEveryVerdictReply) {
    for (const char* kind : {"release", "held_for_approval", "refused_cancelled",
                             "refused_duplicate", "refused_rejected", "ok", "pong"}) {
        const Result<std::string> read = interpret_reply(verdict_reply(kind));
        ASSERT_TRUE(read.ok()) << kind;
        EXPECT_EQ(read.value(), kind);
    }
    for (const std::string& line : {flag_reply(true), count_reply(42)}) {
        const Result<std::string> read = interpret_reply(line);
        ASSERT_TRUE(read.ok()) << line;
        EXPECT_EQ(read.value(), "ok");
    }
}

}  // namespace
}  // namespace latchwork::server
