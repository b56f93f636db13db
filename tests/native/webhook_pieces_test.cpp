// webhook_pieces_test.cpp: the --notify URL read right, the signature and key as receivers' libraries expect, chat text kept inert.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "hmac/sha256.h"
#include "server/notify/chat_message.h"
#include "server/notify/notify_target.h"
#include "server/notify/webhook_body.h"
#include "server/notify/webhook_event.h"
#include "server/notify/webhook_signature.h"

namespace latchwork::server {
namespace {

SecretBytes secret_of(std::string_view text) {
    SecretBytes bytes;
    bytes.assign(byte_span(text));
    return bytes;
}

TEST(NotifyTarget, ReadsHostPortPathAndFormat) {
    Result<NotifyTarget> plain = parse_notify_target("http://hooks.example/a/b?c=d");
    ASSERT_TRUE(plain) << plain.error();
    EXPECT_EQ(plain.value().host, "hooks.example");
    EXPECT_EQ(plain.value().port, "80");
    EXPECT_EQ(plain.value().target, "/a/b?c=d");
    EXPECT_FALSE(plain.value().tls);
    EXPECT_EQ(plain.value().shown, "http://hooks.example/…");  // the path may be a secret

    Result<NotifyTarget> chat = parse_notify_target("slack+https://[::1]:8443");
    ASSERT_TRUE(chat) << chat.error();
    EXPECT_EQ(chat.value().format, NotifyFormat::slack);
    EXPECT_EQ(chat.value().host, "::1");
    EXPECT_EQ(chat.value().port, "8443");
    EXPECT_EQ(chat.value().target, "/");
    EXPECT_TRUE(chat.value().tls);
    EXPECT_NE(chat.value().key, plain.value().key);
    EXPECT_EQ(chat.value().key.size(), 64u);
}

TEST(NotifyTarget, RefusesWhatCannotBeSentSafely) {
    for (const char* url : {"ftp://x/", "https://user:pw@x/", "http:///path", "http://x:0/",
                            "http://x:65536/", "http://x/a#frag", "http://x/a b", "http://[::1/",
                            "slack+ftp://x/"}) {
        EXPECT_FALSE(parse_notify_target(url)) << url;
    }
}

TEST(WebhookSignature, IsTheHmacOfIdTimestampAndBody) {
    const SecretBytes key = secret_of("0123456789abcdef0123456789abcdef");
    // Python: base64(hmac.new(key, b'msg_1.1700000000.{"a":1}', sha256).digest())
    EXPECT_EQ(webhook_signature(key.view(), "msg_1", 1700000000, R"({"a":1})"),
              "v1,rkwp5YuvdrMkcu0ZhuMsXoTg44mHAr1Q0+FFgFpXsjY=");
}

TEST(WebhookSignature, TakesTheKeyAsReceiversWriteIt) {
    Result<SecretBytes> decoded =
        webhook_key(secret_of("whsec_MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWY=\n"));
    ASSERT_TRUE(decoded) << decoded.error();
    const std::string_view expected = "0123456789abcdef0123456789abcdef";
    ASSERT_EQ(decoded.value().size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), decoded.value().view().begin()));
    Result<SecretBytes> padded = webhook_key(secret_of("whsec_YWI="));  // "ab"
    ASSERT_TRUE(padded);
    EXPECT_EQ(padded.value().size(), 2u);
    EXPECT_FALSE(webhook_key(secret_of("whsec_not base64!")));
    Result<SecretBytes> raw = webhook_key(secret_of("raw bytes"));
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw.value().size(), 9u);
}

TEST(WebhookEvent, NamesDecisionsByWhatTheyDid) {
    AuditEntry entry;
    entry.event = AuditEvent::decided;
    entry.approved = true;
    entry.verdict = "approved";
    EXPECT_EQ(webhook_event_of(entry), WebhookEvent::approved);
    entry.verdict = "release";
    EXPECT_EQ(webhook_event_of(entry), WebhookEvent::approved);
    entry.approved = false;
    entry.verdict = "refused_rejected";
    EXPECT_EQ(webhook_event_of(entry), WebhookEvent::rejected);
    entry.verdict = "refused_cancelled";
    EXPECT_EQ(webhook_event_of(entry), std::nullopt);
    EXPECT_FALSE(parse_webhook_events("held,nope"));
    EXPECT_EQ(parse_webhook_events("held,closed").value(),
              static_cast<WebhookEvents>(WebhookEvent::held) | static_cast<WebhookEvents>(WebhookEvent::closed));
    // A recorded result is told only to receivers that name it: "all" is not enough.
    entry.event = AuditEvent::completed;
    EXPECT_EQ(webhook_event_of(entry), WebhookEvent::completed);
    EXPECT_EQ(parse_webhook_events("all").value() & static_cast<WebhookEvents>(WebhookEvent::completed), 0);
    EXPECT_EQ(parse_webhook_events("completed").value(), static_cast<WebhookEvents>(WebhookEvent::completed));
}

TEST(ChatText, CannotMentionLinkOrBreakACharacter) {
    EXPECT_EQ(chat_escaped("<!channel> & <@U1> <https://e|x>"),
              "&lt;!channel&gt; &amp; &lt;@U1&gt; &lt;https://e|x&gt;");
    EXPECT_EQ(clipped_text("aé", 2), "a…");  // never half of "é"
    EXPECT_EQ(console_link("https://g.example/", "a b", "k/1"), "https://g.example/#/effect/a%20b/k%2F1");
}

}  // namespace
}  // namespace latchwork::server
