// line_client.h: who sent a line-protocol request: its peer, whether that peer may
// speak without a token, and the client it said hello as, with that client's scopes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/request.h"

namespace latchwork::server {

// What a client named in the --clients file may do, as bits.
enum class ClientScope : std::uint8_t {
    submit = 1,  // submit
    decide = 2,  // decide
    admin = 4,   // cancel, close_run, pending_count, state_len
};

using ClientScopes = std::uint8_t;

constexpr ClientScopes scope_bit(ClientScope scope) noexcept {
    return static_cast<ClientScopes>(scope);
}

// The scope a name stands for ("submit", "decide", "admin"), or nullopt.
std::optional<ClientScope> client_scope_from_name(std::string_view name);

// Whether scopes permit an operation. ping, is_cancelled and is_closed are open to
// every client that said hello: a worker that submits must be able to ask whether its
// run was cancelled or closed, and those answers change nothing.
bool scopes_allow(ClientScopes scopes, Operation op) noexcept;

// "client NAME may not OP": the refusal of a request outside the client's scopes.
std::string out_of_scope_message(std::string_view client, Operation op);

struct HelloClient {
    std::string name;
    ClientScopes scopes = 0;
};

// One connection's identity. A default Peer is what the server knew before access
// rules existed: an allowed peer that never said hello.
struct Peer {
    std::string address;  // "IP:PORT", for the audit log
    bool allowed = true;  // in --allow (or no rules at all): may speak without hello
    std::optional<HelloClient> client;  // set by a good hello
};

}  // namespace latchwork::server
