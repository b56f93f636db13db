// rules_commands.cpp: `latchwork-gate rules check` and `rules test`.
#include "server/cli/rules_commands.h"

#include <iostream>
#include <limits>
#include <string_view>

#include "server/core/detail_json.h"
#include "server/core/diagnostics.h"
#include "wire/json_reader.h"

namespace latchwork::server {
namespace {

constexpr int kRulesBad = 2;

// What the matching rule does, as one line.
std::string described(const Rule& rule) {
    std::string line = "rule \"" + rule.name + "\": " + std::string(rule_action_name(rule.action));
    if (rule.action == RuleAction::hold) {
        line += ", quorum " + std::to_string(rule.quorum) + " of ";
        // The groups and names as the file writes them: what its author recognises.
        if (rule.approvers_written.empty()) line += "any approver";
        for (std::size_t i = 0; i < rule.approvers_written.size(); ++i) {
            if (i != 0) line += ", ";
            line += rule.approvers_written[i];
        }
    } else if (rule.action == RuleAction::reject && !rule.reason.empty()) {
        line += " (" + rule.reason + ")";
    }
    return line;
}

// --detail as the server would keep it: strictly read, an object, in canonical form.
Result<std::string> read_detail(std::string_view text) {
    Result<TopLevelMembers> strict = read_top_level_members(text, std::span<const std::string_view>());
    if (!strict) return Failure{"--detail: " + strict.error()};
    Result<std::string> canonical = canonical_detail(text, std::numeric_limits<std::size_t>::max());
    if (!canonical) return Failure{"--detail: " + canonical.error()};
    return canonical;
}

}  // namespace

int run_rules_command(const RulesCommandOptions& options, ApproverNamesReader read_approver_names) {
    std::optional<ApproverNames> known;
    if (options.approvers) {
        Result<ApproverNames> names = read_approver_names(*options.approvers);
        if (!names) {
            diagnose(names.error());
            return kRulesBad;
        }
        known = std::move(names).value();
    }
    Result<RuleSet> loaded = RuleSet::load(options.file, known);
    if (!loaded) {
        std::cerr << loaded.error() << std::endl;
        return kRulesBad;
    }
    const RuleSet& rules = loaded.value();
    if (options.command == RulesCommand::check) {
        const std::vector<std::string> hidden = rules.shadowed();
        for (const std::string& line : hidden) std::cerr << line << '\n';
        if (!hidden.empty()) return kRulesBad;
        std::cout << rules.rules().size() << (rules.rules().size() == 1 ? " rule, " : " rules, ")
                  << rules.group_count() << (rules.group_count() == 1 ? " group" : " groups") << std::endl;
        return 0;
    }
    std::optional<std::string> detail;
    if (options.detail) {
        Result<std::string> read = read_detail(*options.detail);
        if (!read) {
            diagnose(read.error());
            return kRulesBad;
        }
        detail = std::move(read).value();
    }
    RuleQuery query;
    query.run_id = options.run_id;
    query.effect_key = options.effect_key;
    if (options.client) query.client = *options.client;
    if (detail) query.detail = *detail;
    if (const Rule* rule = rules.match(query)) {
        std::cout << described(*rule) << std::endl;
    } else {
        std::cout << "no rule matches: the client's needs_approval decides ("
                  << (options.needs_approval ? "held" : "released") << ")" << std::endl;
    }
    return 0;
}

}  // namespace latchwork::server
