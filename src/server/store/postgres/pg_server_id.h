// pg_server_id.h: the ids a server goes by among the servers of one database, in its notices and its leases.
#pragma once

#include <cstdio>
#include <random>
#include <string>

namespace latchwork::server {

// 64 random bits in hex: unique enough among the servers of one database.
inline std::string random_server_id() {
    std::random_device random;
    std::string id;
    for (int i = 0; i < 4; ++i) {
        char part[5];
        std::snprintf(part, sizeof part, "%04x", static_cast<unsigned>(random() & 0xffff));
        id += part;
    }
    return id;
}

// One per process, for what must outlive a connection: a lease taken through one is
// still held by the next after a reconnect.
inline const std::string& process_server_id() {
    static const std::string id = random_server_id();
    return id;
}

}  // namespace latchwork::server
