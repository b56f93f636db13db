// socket_calls.h: the socket calls the connection makes, one seam with two sides.
//
// socket_calls_posix.cpp speaks POSIX sockets, socket_calls_windows.cpp Windows
// Sockets 2; each compiles to nothing on the other platform. Errors are the
// platform's own codes (errno values, WSA error codes), whose texts os_error_text
// gives.
#pragma once

#include <cstddef>

#include "client/interruption.h"
#include "client/socket.h"
#include "client/socket_address.h"

namespace latchwork {

// Starts the platform's socket library, once per process, before the first name
// resolution or socket (Windows Sockets 2.2; nothing to do on POSIX). A failure is
// an internal fault: no socket call could work after it.
void start_socket_library();

// The calling thread's error code of its last failed socket call.
int last_socket_error() noexcept;

// A blocking call cut short by a signal, to be retried or given up.
bool is_interruption(int error) noexcept;

// A receive error that means the stream has ended (the peer shut it down).
bool is_end_of_stream(int error) noexcept;

// A TCP socket of the address's family, not inherited by child processes, connected
// to it by a blocking connect without a timeout. A failure carries the error text;
// the attempt's socket is closed on failure and when `interrupted` gives up.
Interruptible<Socket> connect_stream(const SocketAddress& address, InterruptCheck interrupted);

// Switches Nagle's algorithm off; a failure only costs latency and is ignored.
void set_no_delay(const Socket& socket) noexcept;

// One send of at most INT_MAX bytes: the count accepted, or -1 with
// last_socket_error(). `more_follows` lets the system hold the bytes for the next
// send where it can (requests go out as text, then the line feed).
std::ptrdiff_t send_some(const Socket& socket, const char* bytes, std::size_t size,
                         bool more_follows) noexcept;

// One receive of at most `size` bytes: the count, 0 at the end of the stream, or -1
// with last_socket_error().
std::ptrdiff_t receive_some(const Socket& socket, char* buffer, std::size_t size) noexcept;

}  // namespace latchwork
