// approver_commands.h: `latchwork-gate pending`, `approve` and `reject` against a console.
//
// Exit codes, for scripts: 0 done; 1 the console refused (already decided: 409, or
// not allowed: 403); 2 usage (no token, a bad --console); 3 no answer from the console,
// or one that failed (401, 5xx).
#pragma once

#include "server/cli/command_line.h"

namespace latchwork::server {

constexpr int kCommandDone = 0;
constexpr int kCommandRefused = 1;
constexpr int kCommandUsage = 2;
constexpr int kCommandUnreachable = 3;

int run_console_command(const ConsoleCommandOptions& options);

}  // namespace latchwork::server
