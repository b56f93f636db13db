// client_tokens.cpp: the clients of the line port and the check of a hello.
#include "server/core/client_tokens.h"

#include "support/constant_time.h"
#include "support/secure_wipe.h"

namespace latchwork::server {

ClientTokens::~ClientTokens() {
    for (Client& client : clients_) {
        if (!client.token.empty()) secure_wipe(client.token.data(), client.token.size());
    }
}

std::optional<HelloClient> ClientTokens::check(std::string_view name, std::string_view token) const {
    std::optional<HelloClient> found;
    for (const Client& client : clients_) {
        // Both sides are evaluated for every entry: no early exit on a match.
        const bool token_matches = constant_time_equal(client.token, token);
        if (token_matches && client.name == name && !found) {
            found = HelloClient{client.name, client.scopes};
        }
    }
    return found;
}

std::vector<std::string> ClientTokens::names_with_tokens_shorter_than(std::size_t bytes) const {
    std::vector<std::string> names;
    for (const Client& client : clients_) {
        if (client.token.size() < bytes) names.push_back(client.name);
    }
    return names;
}

}  // namespace latchwork::server
