// effect_rules.h: what decides a new effect before the client's flag does: the server's rules.
//
// The decision step asks once per submit of an effect its run has not decided. A rule
// that matches decides (release, hold or reject) whatever the client asked; with none,
// the client's needs_approval does, as without rules. The rules file and its matching
// live in src/server/rules; the decision step knows only this.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "server/core/grant.h"

namespace latchwork::server {

struct RuleOutcome {
    enum class Action : std::uint8_t { release, hold, reject };
    Action action = Action::hold;
    std::string_view rule;    // its name
    std::string_view reason;  // reject: why, for the worker and the log
    std::int64_t hold_timeout_ms = 0;  // hold: how long it may wait; 0: the server's --hold-timeout
    bool grantable = false;  // hold: a grant of this rule may release it (grantable, quorum 1)
};

struct NewEffect {
    std::string_view run_id;
    std::string_view effect_key;
    std::optional<std::string_view> client;  // the hello client's name, if one said hello
    std::optional<std::string_view> detail;  // compact JSON, if the submit carried one
};

class EffectRules {
public:
    // The outcome of the first rule that matches; nullopt: none does. Its views last as
    // long as the rules.
    virtual std::optional<RuleOutcome> for_new_effect(const NewEffect& effect) const = 0;
    // The people who alone may decide what the rule named `rule` holds; empty: anyone
    // (also for a rule these rules no longer have). Lasts as long as the rules.
    virtual std::span<const std::string> approvers_of(std::string_view rule) const = 0;
    // What the rules are, for comparing them with another server's: a digest of their
    // source, equal exactly when the sources are.
    virtual std::string_view digest() const = 0;
    // How many distinct people must approve what the rule named `rule` holds before it
    // is approved; 1 for a rule these rules no longer have.
    virtual std::uint32_t quorum_of(std::string_view rule) const = 0;
    // Whether an approval of what the rule named `rule` holds may remember a grant: the
    // rule is grantable and one person decides its holds. Empty when it may, else why not.
    virtual std::string grant_refusal(std::string_view rule) const = 0;
    // Whether `grant` covers `effect`: its key matches the glob, its run the grant's (when
    // bound to one) and its detail meets the grant's conditions (a member that is not
    // there fails them). The rule is checked by the caller.
    virtual bool grant_covers(const Grant& grant, const NewEffect& effect) const = 0;
    // What is wrong with a grant's conditions, compact JSON in the rules file's form
    // ({"/amount": {"le": 10}}); empty when nothing is.
    virtual std::string grant_conditions_fault(std::string_view conditions) const = 0;

protected:
    ~EffectRules() = default;
};

// The source a rule's decision is logged and told with: "rule:NAME".
inline std::string rule_source(std::string_view rule) { return "rule:" + std::string(rule); }

}  // namespace latchwork::server
