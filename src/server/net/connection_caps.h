// connection_caps.h: whether a door keeps a new connection: its cap on connections, then the peer's share.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <optional>

#include "server/net/peer_slots.h"

namespace latchwork::server {

// How long a door stops accepting after a failed accept (out of descriptors, say), so
// its loop does not spin while the cause lasts.
inline constexpr std::chrono::milliseconds kAcceptPause{50};

// The line port and the console each have one. Must outlive every slot it gave.
class ConnectionCaps {
public:
    ConnectionCaps(std::size_t max_connections, std::size_t per_peer)
        : max_connections_(max_connections), peer_slots_(per_peer) {}

    // The new connection's place in its peer's count; or nothing, the socket closed at
    // once with nothing read, when `live` connections fill the door already, when the
    // peer is gone, or when it holds its share.
    std::optional<PeerSlot> admit(boost::asio::ip::tcp::socket& socket, std::size_t live);

private:
    std::size_t max_connections_;
    PeerSlots peer_slots_;
};

}  // namespace latchwork::server
