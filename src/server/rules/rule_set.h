// rule_set.h: the rules file: which submits are released, held or rejected, by whom.
//
// A TOML file of [groups] (names of approvers) and [[rule]] tables, tried in order;
// the first rule whose effect and run globs, client and detail conditions all match a
// submit decides it. A submit no rule matches is left to the client's needs_approval.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "server/core/effect_rules.h"
#include "support/result.h"

namespace latchwork::server {

enum class RuleAction : std::uint8_t { release, hold, reject };

std::string_view rule_action_name(RuleAction action);

// What a rule is matched against: one submit.
struct RuleQuery {
    std::string_view run_id;
    std::string_view effect_key;
    std::optional<std::string_view> client;  // the hello client name; none when unnamed
    std::optional<std::string_view> detail;  // compact JSON text of an object
};

// One test of one detail member, as a rule's [rule.detail] table writes it.
struct DetailCondition {
    enum class Op : std::uint8_t { eq, ne, lt, le, gt, ge, in, glob, exists };
    using Value = std::variant<std::string, std::int64_t, double, bool>;
    std::string pointer;       // RFC 6901; empty: the whole detail
    Op op = Op::eq;
    Value value;               // the operand (for exists, a bool; unused for in)
    std::vector<Value> among;  // the operands of in
};

struct Rule {
    std::string name;
    RuleAction action = RuleAction::release;
    std::string reason;
    std::vector<std::string> approvers;  // names, groups expanded, in order, distinct; empty: anyone
    std::vector<std::string> approvers_written;  // as the file names them, groups unexpanded
    std::uint32_t quorum = 1;
    std::chrono::milliseconds hold_timeout{0};  // 0: the server's
    std::chrono::milliseconds remind_after{0}, escalate_after{0};
    std::vector<std::string> escalate_to;  // names, groups expanded
    bool grantable = false;
    int line = 0;  // of its [[rule]] header

    // What it matches: absent globs and client match any submit.
    std::optional<std::string> effect;
    std::optional<std::string> run;
    std::optional<std::string> client;
    std::vector<DetailCondition> conditions;  // all must hold
};

using ApproverNames = std::set<std::string, std::less<>>;

class RuleSet final : public EffectRules {
public:
    // Reads and checks FILE (mode included). known_approvers: the --approvers names when given.
    static Result<RuleSet> load(const std::string& path,
                                const std::optional<ApproverNames>& known_approvers = std::nullopt);
    // The same from text (tests), `shown` naming it in messages; no mode check.
    static Result<RuleSet> parse(std::string_view text, std::string_view shown,
                                 const std::optional<ApproverNames>& known_approvers = std::nullopt);

    // The first rule that matches, or null.
    const Rule* match(const RuleQuery& query) const;
    // The same, as the decision step asks it.
    std::optional<RuleOutcome> for_new_effect(const NewEffect& effect) const override;
    std::span<const std::string> approvers_of(std::string_view rule) const override;
    std::uint32_t quorum_of(std::string_view rule) const override;
    std::string grant_refusal(std::string_view rule) const override;
    bool grant_covers(const Grant& grant, const NewEffect& effect) const override;
    std::string grant_conditions_fault(std::string_view conditions) const override;

    std::span<const Rule> rules() const { return rules_; }
    std::size_t group_count() const { return group_count_; }
    // SHA-256 of the file's bytes, lowercase hex.
    std::string_view digest() const override { return digest_; }
    // "FILE:LINE: rule "B" is never reached: rule "A" matches everything it does",
    // one for each rule an earlier rule hides entirely.
    std::vector<std::string> shadowed() const;
    // "FILE:LINE: rule "NAME" sets remind_after, which serve does not enforce yet; ..." for
    // the first rule that asks what serving cannot keep yet (reminders, escalation): a
    // rule that is not kept is refused, never quietly ignored.
    std::optional<std::string> unenforced() const;

private:
    std::string shown_;
    std::vector<Rule> rules_;
    std::size_t group_count_ = 0;
    std::string digest_;
};

// A grant's conditions read from JSON ({"/amount": {"le": 10}}: pointer, test, operand,
// as a rule's [rule.detail] table writes them), or why they cannot be.
Result<std::vector<DetailCondition>> read_grant_conditions(std::string_view json_text);

// Whether the detail (compact JSON, none when absent) meets every condition; a member
// that is not there fails its test, as for a release rule.
bool detail_meets(std::span<const DetailCondition> conditions, std::optional<std::string_view> detail);

// `*` any run of characters, `?` one (UTF-8) character, anything else itself.
bool glob_matches(std::string_view pattern, std::string_view text);

}  // namespace latchwork::server
