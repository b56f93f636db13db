// clients_file.cpp: the --clients file: who may say hello on the line port.
#include "server/cli/clients_file.h"

#include <algorithm>
#include <string_view>

#include "server/core/config_lines.h"
#include "server/core/private_file.h"

namespace latchwork::server {
namespace {

// A token this short can be found by trying them all, even slowed (hello_failures.h).
constexpr std::size_t kShortToken = 16;

// Names end up in the audit log as "client:NAME": a plain word keeps that readable
// and unambiguous.
constexpr std::size_t kMaxName = 64;

bool is_name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
}

// Owns the clients read so far, so that every early refusal still wipes their tokens.
struct ParsedClients {
    std::vector<ClientTokens::Client> list;
    std::vector<std::size_t> lines;  // the file line of each, for the messages
    ~ParsedClients() {
        if (!list.empty()) ClientTokens discard(std::move(list));
    }
};

// The scopes of a comma list, or the word that is not one.
Result<ClientScopes> read_scopes(std::string_view text) {
    ClientScopes scopes = 0;
    for (std::size_t start = 0;;) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) comma = text.size();
        const std::string_view word = text.substr(start, comma - start);
        const std::optional<ClientScope> scope = client_scope_from_name(word);
        if (!scope) {
            return Failure{"unknown scope \"" + std::string(word) +
                           "\" (the scopes are submit, decide and admin)"};
        }
        scopes |= scope_bit(*scope);
        if (comma == text.size()) break;
        start = comma + 1;
    }
    return scopes;
}

}  // namespace

Result<ClientTokens> load_clients_file(const std::string& path) {
    auto refuse = [&](const std::string& reason) { return Failure{"clients file " + path + ": " + reason}; };
    Result<SecretBytes> content = read_private_file(path, "cannot be opened: ");
    if (!content) return refuse(content.error());
    const std::span<const std::uint8_t> bytes = content.value().view();
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    ParsedClients parsed;
    for (const auto& [number, line] : config_lines(text)) {
        const std::string at = "line " + std::to_string(number);
        // The token lies between the first and the last colon, so it may hold colons.
        const std::size_t first = line.find(':');
        const std::size_t last = line.rfind(':');
        if (first == std::string_view::npos || first == last || first == 0 || last == first + 1) {
            return refuse(at + " is not name:token:scopes");
        }
        const std::string_view name = line.substr(0, first);
        const std::string_view token = line.substr(first + 1, last - first - 1);
        if (name.size() > kMaxName || !std::ranges::all_of(name, is_name_byte)) {
            return refuse(at + ": a name is letters, digits, '.', '_' or '-', at most 64");
        }
        // A space in a token is most often a stray one that no client will send.
        if (std::ranges::any_of(token, is_white_space)) return refuse(at + ": the token holds white space");
        Result<ClientScopes> scopes = read_scopes(line.substr(last + 1));
        if (!scopes) return refuse(at + ": " + scopes.error());
        for (std::size_t i = 0; i < parsed.list.size(); ++i) {
            const std::string earlier = "line " + std::to_string(parsed.lines[i]);
            if (parsed.list[i].name == name) return refuse(at + " repeats the name of " + earlier);
            // Two clients with one token could not be told apart by the token alone.
            if (parsed.list[i].token == token) return refuse(at + " repeats the token of " + earlier);
        }
        parsed.list.push_back({std::string(name), std::string(token), scopes.value()});
        parsed.lines.push_back(number);
    }
    if (parsed.list.empty()) return refuse("names no client");
    return ClientTokens(std::move(parsed.list));
}

std::vector<std::string> client_token_warnings(const ClientTokens& clients) {
    std::vector<std::string> warnings;
    for (const std::string& name : clients.names_with_tokens_shorter_than(kShortToken)) {
        warnings.push_back("the token of client " + name +
                           " is shorter than 16 bytes; use at least 16 random bytes "
                           "(head -c 24 /dev/urandom | base64)");
    }
    return warnings;
}

}  // namespace latchwork::server
