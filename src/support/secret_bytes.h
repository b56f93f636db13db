// secret_bytes.h: a byte string that overwrites its contents before freeing them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "support/secure_wipe.h"

namespace latchwork {

class SecretBytes {
public:
    SecretBytes() = default;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }
    ~SecretBytes() { wipe(); }

    // Room is reserved up front so that growing never leaves an unwiped copy behind.
    void reserve(std::size_t size) { bytes_.reserve(size); }
    void push_back(std::uint8_t byte) {
        if (bytes_.size() == bytes_.capacity()) grow();
        bytes_.push_back(byte);
    }
    void assign(std::span<const std::uint8_t> bytes) {
        wipe();
        bytes_.assign(bytes.begin(), bytes.end());
    }

    std::span<const std::uint8_t> view() const noexcept { return bytes_; }
    std::size_t size() const noexcept { return bytes_.size(); }

private:
    void wipe() noexcept { secure_wipe(bytes_.data(), bytes_.capacity()); }
    void grow() {
        std::vector<std::uint8_t> larger;
        larger.reserve(bytes_.capacity() < 16 ? 32 : bytes_.capacity() * 2);
        larger.assign(bytes_.begin(), bytes_.end());
        wipe();
        bytes_.swap(larger);
    }

    std::vector<std::uint8_t> bytes_;
};

}  // namespace latchwork
