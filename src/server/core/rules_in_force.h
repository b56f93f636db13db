// rules_in_force.h: the server's rules as they stand, which a reload replaces whole, and how often each matched.
//
// Whoever decides by the rules takes them with current() and keeps that pointer as long
// as it uses what they return (a batch, a listing): a reload on another thread then
// replaces them for every later reader at once, and the old ones are freed when the
// last reader lets go. In shadow mode the rules are asked and counted but decide
// nothing: the clients' flags do, as without rules.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "server/core/effect_rules.h"

namespace latchwork::server {

enum class RulesMode : std::uint8_t { enforce, shadow };

class RulesInForce {
public:
    // (rule name, action) -> new effects it matched.
    using Matches = std::map<std::pair<std::string, RuleOutcome::Action>, std::uint64_t, std::less<>>;

    RulesInForce(std::shared_ptr<const EffectRules> rules, RulesMode mode)
        : rules_(std::move(rules)), mode_(mode) {}

    std::shared_ptr<const EffectRules> current() const {
        std::lock_guard lock(mutex_);
        return rules_;
    }
    void replace(std::shared_ptr<const EffectRules> rules) {
        {
            std::lock_guard lock(mutex_);
            rules_.swap(rules);
        }
        // `rules` now holds the old ones: freed here, outside the lock, unless a reader
        // still holds them.
    }
    RulesMode mode() const noexcept { return mode_; }

    // Counts a new effect `rule` matched (once its batch is written).
    void count_match(std::string_view rule, RuleOutcome::Action action) {
        std::lock_guard lock(mutex_);
        ++matches_[{std::string(rule), action}];
    }
    Matches matches() const {
        std::lock_guard lock(mutex_);
        return matches_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const EffectRules> rules_;
    const RulesMode mode_;
    Matches matches_;
};

// "release", "hold" or "reject".
inline std::string_view rule_outcome_name(RuleOutcome::Action action) {
    switch (action) {
        case RuleOutcome::Action::release: return "release";
        case RuleOutcome::Action::hold: return "hold";
        case RuleOutcome::Action::reject: return "reject";
    }
    return "hold";
}

}  // namespace latchwork::server
