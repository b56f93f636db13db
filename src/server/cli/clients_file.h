// clients_file.h: the --clients file: who may say hello on the line port, and what
// each may do there.
#pragma once

#include <string>
#include <vector>

#include "server/core/client_tokens.h"
#include "support/result.h"

namespace latchwork::server {

// Reads `name:token:scopes` lines: scopes a comma list of submit, decide and admin;
// blank lines and lines starting with '#' are skipped. Refused, with the file and the
// line named: a file that is not private (private_file.h), one naming no client, a
// malformed line, a name that is not letters, digits, '.', '_' or '-', a token with
// white space, an unknown or missing scope, a repeated name or token.
Result<ClientTokens> load_clients_file(const std::string& path);

// What is weak about clients that were taken all the same, one line each: a token
// shorter than 16 bytes, the client named (never the token).
std::vector<std::string> client_token_warnings(const ClientTokens& clients);

}  // namespace latchwork::server
