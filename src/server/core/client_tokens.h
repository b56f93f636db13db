// client_tokens.h: the clients of the line port named in the --clients file: each
// one's name, token and scopes, and the check of a hello against them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/line_client.h"

namespace latchwork::server {

class ClientTokens {
public:
    struct Client {
        std::string name;
        std::string token;
        ClientScopes scopes = 0;
    };

    ClientTokens() = default;
    explicit ClientTokens(std::vector<Client> clients) : clients_(std::move(clients)) {}
    ~ClientTokens();  // wipes the tokens
    ClientTokens(ClientTokens&&) noexcept = default;
    ClientTokens& operator=(ClientTokens&&) noexcept = default;

    // The client a hello names, when its token is that client's. Every token is
    // compared, each in constant time, so timing tells nothing of how close a guess
    // came, nor which names exist.
    std::optional<HelloClient> check(std::string_view name, std::string_view token) const;

    bool empty() const noexcept { return clients_.empty(); }
    // The names of the clients whose token is shorter than `bytes`, in file order.
    std::vector<std::string> names_with_tokens_shorter_than(std::size_t bytes) const;

private:
    std::vector<Client> clients_;
};

}  // namespace latchwork::server
