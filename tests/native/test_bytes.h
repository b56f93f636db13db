// test_bytes.h: byte strings for the test tables: hex text both ways, fills and counts.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hmac/sha256.h"

namespace latchwork::testing {

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0f];
    }
    return text;
}

inline std::vector<std::uint8_t> from_hex(std::string_view text) {
    const auto nibble = [](char c) {
        return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    };
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    }
    return bytes;
}

inline std::vector<std::uint8_t> repeated(std::uint8_t value, std::size_t count) {
    return std::vector<std::uint8_t>(count, value);
}

// 0, 1, 2, ...: a key whose every byte differs from its neighbours.
inline std::vector<std::uint8_t> counting(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    return bytes;
}

inline std::vector<std::uint8_t> bytes_of(std::string_view text) {
    const auto span = byte_span(text);
    return {span.begin(), span.end()};
}

}  // namespace latchwork::testing
