// connection.cpp: the client's one TCP connection to a gate server and its exchanges.
#include "client/connection.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "client/os_error.h"
#include "client/reply.h"
#include "client/socket_address.h"
#include "client/socket_calls.h"
#include "wire/utf8.h"
#include "support/internal_fault.h"

namespace latchwork {
namespace {

Failure write_failure(const std::string& detail) { return Failure{"gate write failed: " + detail}; }

Failure read_failure(const std::string& detail) { return Failure{"gate read failed: " + detail}; }

}  // namespace

Interruptible<Connection> Connection::open(std::string_view addr, InterruptCheck interrupted) {
    start_socket_library();
    Result<std::vector<SocketAddress>> addresses = resolve_gate_address(addr);
    if (!addresses) {
        return std::move(addresses).take_failure();
    }
    std::optional<Failure> last_failure;
    for (const SocketAddress& address : addresses.value()) {
        Interruptible<Socket> attempt = connect_stream(address, interrupted);
        if (!attempt) {
            return std::nullopt;
        }
        if (!*attempt) {
            last_failure = std::move(*attempt).take_failure();
            continue;
        }
        Socket socket = std::move(*attempt).value();
        // Requests go out in two small writes and then wait for the reply; Nagle's
        // algorithm would hold the second one back. Failing to switch it off only
        // costs latency, so the result is ignored.
        set_no_delay(socket);
        return Result<Connection>(Connection(std::move(socket)));
    }
    if (!last_failure) {
        return Failure{"could not resolve to any addresses"};
    }
    return std::move(*last_failure);
}

Result<Connection> Connection::open(std::string_view addr) {
    return std::move(*open(addr, InterruptCheck{}));  // a check that never gives up
}

Connection::Connection(Socket connected)
    : socket_(std::move(connected)), buffer_(std::make_unique_for_overwrite<char[]>(kReceiveBufferSize)) {}

Interruptible<std::string> Connection::exchange(std::string_view request,
                                                InterruptCheck interrupted) {
    if (!buffer_) {
        throw InternalFault("exchange on a moved-from connection");
    }
    if (out_of_step_) {
        return Failure{kOutOfStepMessage};
    }
    // Whatever the server makes of a partial request, its reply (or its complaint)
    // would be read as the next exchange's reply: giving up after the first byte
    // leaves the connection out of step. Before it, the server has seen nothing.
    bool sent_any = false;
    // The text and its line feed are two writes; the first says more follows, so the
    // kernel may send them as one segment.
    Interruptible<std::monostate> written = write_all(request, true, interrupted, sent_any);
    if (written && *written) {
        written = write_all("\n", false, interrupted, sent_any);
    }
    if (!written) {
        out_of_step_ = sent_any;
        return std::nullopt;
    }
    if (!*written) {
        return std::move(*written).take_failure();
    }
    Interruptible<std::string> line = read_line(interrupted);
    if (!line) {
        out_of_step_ = true;  // the request went out: its reply may still come
        return std::nullopt;
    }
    if (!*line) {
        return line;
    }
    return interpret_reply(line->value());
}

Result<std::string> Connection::exchange(std::string_view request) {
    return std::move(*exchange(request, InterruptCheck{}));  // a check that never gives up
}

Interruptible<std::monostate> Connection::write_all(std::string_view bytes, bool more_follows,
                                                    InterruptCheck interrupted, bool& sent_any) {
    while (!bytes.empty()) {
        const std::size_t offered = std::min<std::size_t>(bytes.size(), INT_MAX);
        const std::ptrdiff_t sent = send_some(socket_, bytes.data(), offered, more_follows);
        if (sent < 0) {
            const int error = last_socket_error();
            if (is_interruption(error)) {
                if (interrupted.give_up()) {
                    return std::nullopt;
                }
                continue;
            }
            return write_failure(os_error_text(error));
        }
        if (sent == 0) {
            return write_failure("failed to write whole buffer");
        }
        sent_any = true;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return Result<std::monostate>(std::monostate{});
}

Interruptible<std::string> Connection::read_line(InterruptCheck interrupted) {
    std::string line;
    for (;;) {
        if (read_pos_ == fill_) {
            std::ptrdiff_t received;
            int error = 0;
            for (;;) {
                received = receive_some(socket_, buffer_.get(), kReceiveBufferSize);
                if (received >= 0 || !is_interruption(error = last_socket_error())) {
                    break;
                }
                if (interrupted.give_up()) {
                    return std::nullopt;
                }
            }
            if (received < 0 && !is_end_of_stream(error)) {
                return read_failure(os_error_text(error));
            }
            if (received <= 0) {  // end of stream
                if (line.empty()) {
                    return Failure{"gate closed the connection"};
                }
                break;  // a line cut off by the end of the stream is still a line
            }
            read_pos_ = 0;
            fill_ = static_cast<std::size_t>(received);
        }
        const char* start = buffer_.get() + read_pos_;
        const std::size_t available = fill_ - read_pos_;
        const auto* feed = static_cast<const char*>(std::memchr(start, '\n', available));
        const std::size_t content = feed ? static_cast<std::size_t>(feed - start) : available;
        if (line.size() + content > kMaxReplyLineBytes) {
            read_pos_ += kMaxReplyLineBytes - line.size();
            return read_failure("reply line exceeds " + std::to_string(kMaxReplyLineBytes) + " bytes");
        }
        const std::size_t taken = feed ? content + 1 : content;
        line.append(start, taken);
        read_pos_ += taken;
        if (feed) {
            break;
        }
    }
    if (!is_valid_utf8(line)) {
        return read_failure("stream did not contain valid UTF-8");
    }
    return Result<std::string>(std::move(line));
}

}  // namespace latchwork
