// exchange_fuzzer.cpp: a connection fed any byte stream answers every exchange and ends cleanly.
//
// The stream arrives through a socket pair in pieces of fuzzer-chosen sizes, so lines
// straddle receive-buffer refills in every way; the exchanges continue until the
// stream is used up, which must be reported as the closed connection.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "client/connection.h"
#include "client/socket.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    latchwork::Socket server(fds[1]);
    latchwork::Connection connection{latchwork::Socket(fds[0])};

    // Inputs this small fit the socket buffer whole, so sending them never blocks.
    if (size > 60000) size = 60000;
    std::size_t lines = 0;
    for (std::size_t i = 0; i < size; ++i) lines += data[i] == '\n';
    if (::send(server.get(), data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return 0;
    ::shutdown(server.get(), SHUT_WR);

    // At most one exchange per line plus the cut-off tail, then the end of the stream.
    char drained[4096];
    for (std::size_t exchange = 0; exchange <= lines + 1; ++exchange) {
        const latchwork::Result<std::string> outcome = connection.exchange("{\"op\":\"ping\"}");
        // Read the requests off the other end so the client's writes never block.
        while (::recv(server.get(), drained, sizeof drained, MSG_DONTWAIT) > 0) {
        }
        if (!outcome && outcome.error() == "gate closed the connection") {
            const latchwork::Result<std::string> again = connection.exchange("{\"op\":\"ping\"}");
            FUZZ_CHECK(!again && again.error() == "gate closed the connection");
            return 0;
        }
    }
    FUZZ_CHECK(!"the stream never ended");
    return 0;
}
