// platform_socket.h: the system's socket headers and the type of a socket handle.
//
// Windows Sockets and POSIX sockets share the address structures and getaddrinfo;
// they differ in the handle's type, the error codes and the calls around them, which
// socket_calls.h puts behind one seam.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace latchwork {

#ifdef _WIN32
using NativeSocket = SOCKET;
inline constexpr NativeSocket kNoSocket = INVALID_SOCKET;
#else
using NativeSocket = int;
inline constexpr NativeSocket kNoSocket = -1;
#endif

}  // namespace latchwork
