// grant.cpp: new grant ids.
#include "server/core/grant.h"

#include <random>

namespace latchwork::server {

std::string new_grant_id() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    constexpr char kHex[] = "0123456789abcdef";
    std::uint64_t bits = generator();
    std::string id(12, '0');
    for (char& c : id) {
        c = kHex[bits & 15];
        bits >>= 4;
    }
    return id;
}

}  // namespace latchwork::server
