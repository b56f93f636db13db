// socket.h: the owning handle of one socket.
#pragma once

#include <utility>

#include "client/platform_socket.h"

namespace latchwork {

// Closes its socket when destroyed (a plain close: no shutdown, nothing sent).
class Socket {
public:
    Socket() noexcept = default;
    explicit Socket(NativeSocket fd) noexcept : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, kNoSocket)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, kNoSocket);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { reset(); }

    NativeSocket get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ != kNoSocket; }
    void reset() noexcept;  // socket_calls_posix.cpp, socket_calls_windows.cpp

private:
    NativeSocket fd_ = kNoSocket;
};

}  // namespace latchwork
