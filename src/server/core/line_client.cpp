// line_client.cpp: client scopes and what each permits.
#include "server/core/line_client.h"

namespace latchwork::server {

std::optional<ClientScope> client_scope_from_name(std::string_view name) {
    if (name == "submit") return ClientScope::submit;
    if (name == "decide") return ClientScope::decide;
    if (name == "admin") return ClientScope::admin;
    return std::nullopt;
}

bool scopes_allow(ClientScopes scopes, Operation op) noexcept {
    switch (op) {
        case Operation::ping:
        case Operation::is_cancelled:
        case Operation::is_closed: return true;
        case Operation::submit:
        case Operation::complete: return (scopes & scope_bit(ClientScope::submit)) != 0;
        case Operation::decide: return (scopes & scope_bit(ClientScope::decide)) != 0;
        case Operation::cancel:
        case Operation::close_run:
        case Operation::pending_count:
        case Operation::state_len: return (scopes & scope_bit(ClientScope::admin)) != 0;
        case Operation::revoke_grant: return false;
    }
    return false;
}

std::string out_of_scope_message(std::string_view client, Operation op) {
    return "client " + std::string(client) + " may not " + std::string(operation_name(op));
}

}  // namespace latchwork::server
