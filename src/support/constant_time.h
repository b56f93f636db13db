// constant_time.h: comparing secret-derived texts without leaking where they differ.
#pragma once

#include <cstddef>
#include <string_view>

namespace latchwork {

// Whether a and b hold the same bytes. The time taken depends on the lengths only,
// never on the position of the first difference, so a forger learns nothing from
// timing a refused tag. The lengths themselves are not secret (a tag is 64 digits).
inline bool constant_time_equal(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

}  // namespace latchwork
