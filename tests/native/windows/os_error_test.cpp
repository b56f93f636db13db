// os_error_test.cpp: Windows error texts, and a real exchange with a gate server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "client/connection.h"
#include "client/os_error.h"
#include "client/platform_socket.h"
#include "client/request_encoder.h"

namespace latchwork {
namespace {

TEST(WindowsOsErrorText, IsTheSystemTextTrimmedThenTheCode) {
    const int codes[] = {WSAECONNREFUSED, WSAECONNRESET, WSAHOST_NOT_FOUND, static_cast<int>(ERROR_FILE_NOT_FOUND)};
    for (const int code : codes) {
        const std::string suffix = " (os error " + std::to_string(code) + ")";
        const std::string text = os_error_text(code);
        ASSERT_TRUE(text.ends_with(suffix)) << text;
        const std::string description = text.substr(0, text.size() - suffix.size());
        EXPECT_FALSE(description.empty()) << text;
        EXPECT_FALSE(description.starts_with("Unknown error")) << text;
        EXPECT_EQ(std::string(" \t\r\n").find(description.back()), std::string::npos)
            << "trailing white space in: " << text;
    }
    // The resolver's codes are Windows Sockets codes with the same texts.
    EXPECT_EQ(resolver_error_text(WSAHOST_NOT_FOUND, 0), os_error_text(WSAHOST_NOT_FOUND));
    EXPECT_EQ(os_error_text(0x2000ABCD), "Unknown error 536914893 (os error 536914893)");
}

// A gate server on the Linux side of Wine, started by `make windows-test`, which
// passes its address: submits, a decision and a ping over loopback, through the
// same Connection the module uses.
TEST(WindowsGateExchange, TalksToALatchworkGate) {
    const char* address = std::getenv("LATCHWORK_GATE_ADDRESS");
    if (address == nullptr) GTEST_SKIP() << "LATCHWORK_GATE_ADDRESS is not set";
    const std::string addr = address;
    const std::string port = addr.substr(addr.rfind(':') + 1);
    for (const std::string& form : {addr, "localhost:" + port}) {
        Result<Connection> opened = Connection::open(form);
        ASSERT_TRUE(opened.ok()) << form << ": " << opened.error();
        Connection& gate = opened.value();
        const std::string run = "windows-" + form;
        EXPECT_EQ(gate.exchange(encode_submit(run, "email:42", true)).value(), "held_for_approval");
        EXPECT_EQ(gate.exchange(encode_decide(run, "email:42", true, std::nullopt)).value(), "release");
        EXPECT_EQ(gate.exchange(encode_submit(run, "email:42", false)).value(), "refused_duplicate");
        EXPECT_EQ(gate.exchange(encode_cancel(run)).value(), "ok");
        EXPECT_EQ(gate.exchange(kPingRequest).value(), "pong");
        const Result<std::string> refused = gate.exchange("{\"op\":\"nonsense\"}");
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(refused.error().starts_with("gate error: ")) << refused.error();
    }
}

}  // namespace
}  // namespace latchwork
