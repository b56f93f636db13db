// loopback.h: loopback TCP sockets for the connection tests (127.0.0.1 only).
#pragma once

#ifndef _WIN32
#include <sys/time.h>
#endif

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "client/platform_socket.h"
#include "client/socket.h"
#include "client/socket_calls.h"

namespace latchwork::testing {

// The few calls that differ between the two socket layers.
#ifdef _WIN32
inline NativeSocket new_stream_socket(int family) { return ::socket(family, SOCK_STREAM, 0); }
inline NativeSocket accept_connection(NativeSocket listening) { return ::accept(listening, nullptr, nullptr); }
inline constexpr int kNoSignal = 0;
inline constexpr int kShutWrite = SD_SEND;
inline constexpr int kConnectionReset = WSAECONNRESET;
inline constexpr int kConnectionRefused = WSAECONNREFUSED;
#else
inline NativeSocket new_stream_socket(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }
inline NativeSocket accept_connection(NativeSocket listening) {
    return ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
}
inline constexpr int kNoSignal = MSG_NOSIGNAL;
inline constexpr int kShutWrite = SHUT_WR;
inline constexpr int kConnectionReset = ECONNRESET;
inline constexpr int kConnectionRefused = ECONNREFUSED;
#endif

// Makes closing the socket reset the connection instead of ending it in order.
inline void reset_on_close(const Socket& socket) {
    const linger abort_on_close{1, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_on_close),
                 sizeof abort_on_close);
}

// A listening socket on 127.0.0.1 with a port chosen by the system.
class Listener {
public:
    explicit Listener(int family = AF_INET, int backlog = 8)
        : socket_((start_socket_library(), new_stream_socket(family))) {
        if (!socket_.valid()) throw std::runtime_error("socket");
        sockaddr_storage storage{};
        socklen_t length;
        if (family == AF_INET) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
            v4->sin_family = AF_INET;
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *v4;
        } else {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_loopback;
            length = sizeof *v6;
        }
        if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
            ::listen(socket_.get(), backlog) != 0 ||
            ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
            throw std::runtime_error("bind/listen");
        }
        port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                        : reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    }

    std::uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    // The next pending connection, with receive and send timeouts so that a test
    // waiting for data that never comes fails instead of hanging.
    Socket accept() {
        Socket peer(accept_connection(socket_.get()));
        if (!peer.valid()) throw std::runtime_error("accept");
        set_timeouts(peer);
        return peer;
    }

    static void set_timeouts(const Socket& socket, int seconds = 20) {
#ifdef _WIN32
        const DWORD limit = static_cast<DWORD>(seconds) * 1000;  // milliseconds there
        const char* value = reinterpret_cast<const char*>(&limit);
#else
        const timeval limit{seconds, 0};
        const timeval* value = &limit;
#endif
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, value, sizeof limit);
        ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, value, sizeof limit);
    }

private:
    Socket socket_;
    std::uint16_t port_ = 0;
};

// A connected loopback pair: the client end (with timeouts) and the server end.
inline std::pair<Socket, Socket> connected_pair() {
    Listener listener;
    Socket client(new_stream_socket(AF_INET));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(listener.port());
    if (::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("connect");
    }
    Listener::set_timeouts(client);
    Socket server = listener.accept();
    return {std::move(client), std::move(server)};
}

inline void send_all(const Socket& socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto sent = ::send(socket.get(), bytes.data(), static_cast<int>(bytes.size()), kNoSignal);
        if (sent <= 0) throw std::runtime_error("send");
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

// Reads exactly `size` bytes (or fails after the receive timeout).
inline std::string receive_exactly(const Socket& socket, std::size_t size) {
    std::string bytes(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const auto n = ::recv(socket.get(), bytes.data() + got, static_cast<int>(size - got), 0);
        if (n <= 0) throw std::runtime_error("recv");
        got += static_cast<std::size_t>(n);
    }
    return bytes;
}

}  // namespace latchwork::testing
