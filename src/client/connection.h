// connection.h: the client's one TCP connection to a gate server and its exchanges.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "client/interruption.h"
#include "client/socket.h"
#include "support/result.h"

namespace latchwork {

inline constexpr std::size_t kReceiveBufferSize = 8192;

// The longest reply line accepted, its line feed not counted. A longer line fails
// the exchange as a read failure once the cap is passed; the bytes read up to the
// cap are consumed and dropped, and the rest of that line stays in the stream, to be
// read as the next exchange's reply.
inline constexpr std::size_t kMaxReplyLineBytes = 64 * 1024 * 1024;

// Every exchange after one that was given up with part of it done fails with this
// text and writes nothing: the given-up exchange's reply may still come, and would be
// taken for the reply to the next request.
inline constexpr const char* kOutOfStepMessage =
    "gate connection out of step: an earlier call was interrupted";

// Owns the socket and the receive buffer, which persists across exchanges: bytes
// after a reply's line feed are the start of the next reply. Nothing here ever
// closes, resets or reconnects the socket except destruction, and nothing takes a
// lock: callers serialise exchanges on one connection themselves.
class Connection {
public:
    // Resolves `addr` (see resolve_gate_address), connects to the first address
    // that accepts, in order, and switches Nagle's algorithm off. A failure carries
    // the bare error text (the caller adds its "connect ... failed: " context).
    // When `interrupted` gives up, the attempt's socket is closed and no further
    // address is tried.
    static Interruptible<Connection> open(std::string_view addr, InterruptCheck interrupted);
    static Result<Connection> open(std::string_view addr);  // never gives up

    // Takes over an already connected stream socket.
    explicit Connection(Socket connected);

    Connection(Connection&&) noexcept = default;
    Connection& operator=(Connection&&) noexcept = default;

    // Sends `request` (one JSON text, no line feed) and its line feed, reads one
    // reply line and interprets it: the verdict kind, or the exchange's failure text.
    // Given up by `interrupted` before any byte of the request went out, the
    // connection stays in step; given up later, it is out of step for good.
    Interruptible<std::string> exchange(std::string_view request, InterruptCheck interrupted);
    Result<std::string> exchange(std::string_view request);  // never gives up

    bool out_of_step() const noexcept { return out_of_step_; }

private:
    // Nullopt: given up. `sent_any` becomes true once a byte has been accepted.
    Interruptible<std::monostate> write_all(std::string_view bytes, bool more_follows,
                                            InterruptCheck interrupted, bool& sent_any);
    Interruptible<std::string> read_line(InterruptCheck interrupted);

    Socket socket_;
    std::unique_ptr<char[]> buffer_;  // kReceiveBufferSize bytes
    std::size_t read_pos_ = 0;        // next unconsumed byte
    std::size_t fill_ = 0;            // end of the received bytes
    bool out_of_step_ = false;        // an exchange was given up half done
};

}  // namespace latchwork
