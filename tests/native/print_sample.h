// print_sample.h: short, escaped test-parameter names for the table-driven tests.
#pragma once

#include <ostream>
#include <string_view>

#include "client/quoted_line.h"

namespace latchwork {

// Test names carry the sample; long samples are cut so that test listings stay readable.
inline void print_sample(std::string_view text, std::ostream* os) {
    constexpr std::size_t kShown = 40;
    *os << quoted_line(text.substr(0, kShown)) << (text.size() > kShown ? "..." : "");
}

}  // namespace latchwork
