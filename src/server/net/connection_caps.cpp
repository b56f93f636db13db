// connection_caps.cpp: whether a door keeps a new connection: its cap on connections, then the peer's share.
#include "server/net/connection_caps.h"

namespace latchwork::server {

std::optional<PeerSlot> ConnectionCaps::admit(boost::asio::ip::tcp::socket& socket, std::size_t live) {
    std::optional<PeerSlot> slot;
    if (live < max_connections_) {
        boost::system::error_code no_peer;
        const boost::asio::ip::address peer = socket.remote_endpoint(no_peer).address();
        if (!no_peer) slot = peer_slots_.take(peer);
    }
    if (!slot) {
        boost::system::error_code ignored;
        socket.close(ignored);
    }
    return slot;
}

}  // namespace latchwork::server
