// peer_slots.h: connections counted per peer address, so that one host cannot take every slot of a door.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>

namespace latchwork::server {

class PeerSlots;

// One connection's place in its peer's count, given back when it goes.
class PeerSlot {
public:
    PeerSlot() = default;
    PeerSlot(PeerSlots* owner, boost::asio::ip::address peer) : owner_(owner), peer_(std::move(peer)) {}
    PeerSlot(PeerSlot&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), peer_(std::move(other.peer_)) {}
    PeerSlot& operator=(PeerSlot&& other) noexcept {
        if (this != &other) {
            release();
            owner_ = std::exchange(other.owner_, nullptr);
            peer_ = std::move(other.peer_);
        }
        return *this;
    }
    PeerSlot(const PeerSlot&) = delete;
    PeerSlot& operator=(const PeerSlot&) = delete;
    ~PeerSlot() { release(); }

private:
    void release() noexcept;
    PeerSlots* owner_ = nullptr;
    boost::asio::ip::address peer_;
};

// The map holds one entry per address that has a connection now, so it is bounded
// by the door's own connection cap. Must outlive every slot it gave.
class PeerSlots {
public:
    explicit PeerSlots(std::size_t per_peer) : per_peer_(per_peer) {}

    // A slot for one more connection from `peer`, or nothing when it holds all its share.
    std::optional<PeerSlot> take(const boost::asio::ip::address& peer) {
        std::size_t& held = held_[peer];
        if (held >= per_peer_) return std::nullopt;
        ++held;
        return PeerSlot(this, peer);
    }

private:
    friend class PeerSlot;
    void give_back(const boost::asio::ip::address& peer) noexcept {
        const auto found = held_.find(peer);
        if (found != held_.end() && --found->second == 0) held_.erase(found);
    }

    std::size_t per_peer_;
    std::unordered_map<boost::asio::ip::address, std::size_t> held_;
};

inline void PeerSlot::release() noexcept {
    if (owner_ != nullptr) owner_->give_back(peer_);
    owner_ = nullptr;
}

}  // namespace latchwork::server
