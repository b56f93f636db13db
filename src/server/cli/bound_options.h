// bound_options.h: the serve options that bound what one peer, or time, can make the server keep.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace latchwork::server {

struct ServeBounds {
    std::chrono::milliseconds audit_retention = std::chrono::hours(24 * 30);
    std::size_t audit_max_entries = 100'000;  // the memory store's log
    // No request for this long: closed. Off by default: GateClient keeps one
    // connection for its life and does not reconnect.
    std::chrono::milliseconds idle_timeout{0};
    std::chrono::milliseconds line_timeout = std::chrono::seconds(10);  // a line left unfinished
    std::chrono::milliseconds write_timeout = std::chrono::seconds(30);  // replies nobody reads
    // Per IP address. On the line port, half the default connection cap: a host may run
    // many workers, but not take every slot. Browsers open a few per console.
    std::size_t max_connections_per_peer = 5000;
    std::size_t console_max_connections_per_peer = 64;
    std::chrono::milliseconds console_header_timeout = std::chrono::seconds(10);
    std::size_t console_max_connections = 1000;  // a tenth kept for bearer tokens
    std::size_t max_subscribers = 100;  // console event streams at once
    std::chrono::milliseconds event_heartbeat = std::chrono::seconds(15);  // tests shorten it
    // The longest a call to a shared store's database may take before it fails.
    std::chrono::milliseconds store_timeout = std::chrono::seconds(5);
};

// Adds the options to `serve`; read() turns their text into `bounds` once parsed.
class BoundOptions {
public:
    void add_to(CLI::App& serve, ServeBounds& bounds);
    // A usage error's text, or nothing when every duration reads.
    std::optional<std::string> read(ServeBounds& bounds) const;

private:
    std::optional<std::string> audit_retention_, idle_timeout_, line_timeout_, write_timeout_,
        header_timeout_, event_heartbeat_, store_timeout_;
};

}  // namespace latchwork::server
