// socket_calls_posix.cpp: the POSIX side of the socket seam.
#ifndef _WIN32

#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "client/os_error.h"
#include "client/socket_calls.h"

namespace latchwork {
namespace {

// An interrupted connect goes on in the background; wait for it to finish and take
// its outcome from SO_ERROR (connecting again would only report EALREADY). The
// error code, 0 for a connection, or nullopt when `interrupted` gave up.
std::optional<int> finish_interrupted_connect(int fd, InterruptCheck interrupted) {
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
        const int ready = poll(&entry, 1, -1);
        if (ready > 0) {
            break;
        }
        if (ready < 0 && errno != EINTR) {
            return errno;
        }
        if (ready < 0 && interrupted.give_up()) {
            return std::nullopt;
        }
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

}  // namespace

void Socket::reset() noexcept {
    if (fd_ >= 0) {
        // Not retried on EINTR: on Linux the descriptor is released even then, and a
        // second close could hit a descriptor another thread has just been given.
        ::close(fd_);
        fd_ = -1;
    }
}

void start_socket_library() {}

int last_socket_error() noexcept { return errno; }

bool is_interruption(int error) noexcept { return error == EINTR; }

bool is_end_of_stream(int error) noexcept { return error == ESHUTDOWN; }

Interruptible<Socket> connect_stream(const SocketAddress& address, InterruptCheck interrupted) {
    Socket socket(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!socket.valid()) {
        return Failure{os_error_text(errno)};
    }
    if (::connect(socket.get(), address.get(), address.length) != 0) {
        int error = errno;
        if (error == EINTR) {
            if (interrupted.give_up()) {
                return std::nullopt;
            }
            const std::optional<int> finished = finish_interrupted_connect(socket.get(), interrupted);
            if (!finished) {
                return std::nullopt;
            }
            error = *finished;
        }
        if (error != 0) {
            return Failure{os_error_text(error)};
        }
    }
    return Result<Socket>(std::move(socket));
}

void set_no_delay(const Socket& socket) noexcept {
    const int on = 1;
    (void)setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::ptrdiff_t send_some(const Socket& socket, const char* bytes, std::size_t size,
                         bool more_follows) noexcept {
    // MSG_MORE lets the kernel send the text and its line feed as one segment;
    // MSG_NOSIGNAL turns a write to a closed peer into EPIPE instead of SIGPIPE.
    return ::send(socket.get(), bytes, size, (more_follows ? MSG_MORE : 0) | MSG_NOSIGNAL);
}

std::ptrdiff_t receive_some(const Socket& socket, char* buffer, std::size_t size) noexcept {
    return ::recv(socket.get(), buffer, size, 0);
}

}  // namespace latchwork

#endif  // !_WIN32
