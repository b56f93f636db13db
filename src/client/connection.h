// connection.h: the client's one TCP connection to a gate server and its exchanges.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/socket.h"
#include "support/result.h"

namespace latchwork {

inline constexpr std::size_t kReceiveBufferSize = 8192;

// The longest reply line accepted, its line feed not counted. A longer line fails
// the exchange as a read failure once the cap is passed; the bytes read up to the
// cap are consumed and dropped, and the rest of that line stays in the stream, to be
// read as the next exchange's reply.
inline constexpr std::size_t kMaxReplyLineBytes = 64 * 1024 * 1024;

// Owns the socket and the receive buffer, which persists across exchanges: bytes
// after a reply's line feed are the start of the next reply. Nothing here ever
// closes, resets or reconnects the socket except destruction, and nothing takes a
// lock: callers serialise exchanges on one connection themselves.
class Connection {
public:
    // Resolves `addr` (see resolve_gate_address), connects to the first address
    // that accepts, in order, and switches Nagle's algorithm off. A failure carries
    // the bare error text (the caller adds its "connect ... failed: " context).
    static Result<Connection> open(std::string_view addr);

    // Takes over an already connected stream socket.
    explicit Connection(Socket connected);

    Connection(Connection&&) noexcept = default;
    Connection& operator=(Connection&&) noexcept = default;

    // Sends `request` (one JSON text, no line feed) and its line feed, reads one
    // reply line and interprets it: the verdict kind, or the exchange's failure text.
    Result<std::string> exchange(std::string_view request);

private:
    std::optional<Failure> write_all(std::string_view bytes, int flags);
    Result<std::string> read_line();

    Socket socket_;
    std::unique_ptr<char[]> buffer_;  // kReceiveBufferSize bytes
    std::size_t read_pos_ = 0;        // next unconsumed byte
    std::size_t fill_ = 0;            // end of the received bytes
};

}  // namespace latchwork
