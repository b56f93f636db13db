// socket_calls_windows.cpp: the Windows Sockets 2 side of the socket seam.
//
// Interruption: a blocking Windows Sockets 2 call is not cut short by Ctrl-C (the
// console runs its handler on a thread of its own, and WSAEINTR only ever came from
// the Windows Sockets 1.1 blocking hooks). Python's own sockets are the same there:
// the call waits until the socket answers, and KeyboardInterrupt is raised when the
// interpreter next checks for signals. Should WSAEINTR come all the same, it is
// asked about as EINTR is on POSIX: a send or receive is retried unless the caller's
// check gives up, a connect is given up or reported.
#ifdef _WIN32

#include <climits>

#include "client/os_error.h"
#include "client/socket_calls.h"
#include "support/internal_fault.h"

namespace latchwork {

void Socket::reset() noexcept {
    if (fd_ != INVALID_SOCKET) {
        ::closesocket(fd_);
        fd_ = INVALID_SOCKET;
    }
}

void start_socket_library() {
    // Never cleaned up: the library stays started for the life of the process, as
    // sockets may live until the interpreter exits.
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) {
        throw InternalFault("WSAStartup failed: " + os_error_text(started));
    }
}

int last_socket_error() noexcept { return WSAGetLastError(); }

bool is_interruption(int error) noexcept { return error == WSAEINTR; }

bool is_end_of_stream(int error) noexcept { return error == WSAESHUTDOWN; }

Interruptible<Socket> connect_stream(const SocketAddress& address, InterruptCheck interrupted) {
    start_socket_library();
    Socket socket(WSASocketW(address.family(), SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                             WSA_FLAG_NO_HANDLE_INHERIT));
    if (!socket.valid()) {
        return Failure{os_error_text(WSAGetLastError())};
    }
    if (::connect(socket.get(), address.get(), address.length) != 0) {
        const int error = WSAGetLastError();
        if (is_interruption(error) && interrupted.give_up()) {
            return std::nullopt;
        }
        return Failure{os_error_text(error)};
    }
    return Result<Socket>(std::move(socket));
}

void set_no_delay(const Socket& socket) noexcept {
    const BOOL on = TRUE;
    (void)setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof on);
}

std::ptrdiff_t send_some(const Socket& socket, const char* bytes, std::size_t size,
                         bool /*more_follows: no such flag here; Nagle is off*/) noexcept {
    const int result = ::send(socket.get(), bytes, static_cast<int>(size < INT_MAX ? size : INT_MAX), 0);
    return result == SOCKET_ERROR ? -1 : result;
}

std::ptrdiff_t receive_some(const Socket& socket, char* buffer, std::size_t size) noexcept {
    const int result = ::recv(socket.get(), buffer, static_cast<int>(size < INT_MAX ? size : INT_MAX), 0);
    return result == SOCKET_ERROR ? -1 : result;
}

}  // namespace latchwork

#endif  // _WIN32
