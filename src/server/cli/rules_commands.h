// rules_commands.h: `latchwork-gate rules check` and `rules test`, a rules file without a server.
//
// Exit codes: 0 done; 2 a bad rules file (its first problem, or a rule never reached,
// as FILE:LINE: message), a bad approvers file or a bad --detail.
#pragma once

#include <string>

#include "server/cli/command_line.h"
#include "server/rules/rule_set.h"
#include "support/result.h"

namespace latchwork::server {

// The names of the approvers in an approvers file (the console reads that file, and
// this library lies further in than the console).
using ApproverNamesReader = Result<ApproverNames> (*)(const std::string& path);

int run_rules_command(const RulesCommandOptions& options, ApproverNamesReader read_approver_names);

}  // namespace latchwork::server
