// rule_match.cpp: which rule a submit meets, its detail tested member by member.
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <charconv>
#include <compare>
#include <span>

#include "server/rules/rule_set.h"

namespace latchwork::server {
namespace json = boost::json;
namespace {

using Op = DetailCondition::Op;

// The member an RFC 6901 pointer names, or null when there is none.
const json::value* find_member(const json::value& detail, std::string_view pointer) {
    const json::value* at = &detail;
    while (!pointer.empty()) {
        pointer.remove_prefix(1);  // the '/' before each token
        const std::size_t end = pointer.find('/');
        const std::string_view raw = pointer.substr(0, end);
        pointer = end == std::string_view::npos ? std::string_view() : pointer.substr(end);
        std::string token;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '~' && i + 1 < raw.size() && (raw[i + 1] == '0' || raw[i + 1] == '1')) {
                token += raw[++i] == '0' ? '~' : '/';
            } else {
                token += raw[i];
            }
        }
        if (const json::object* object = at->if_object()) {
            at = object->if_contains(token);
        } else if (const json::array* array = at->if_array()) {
            // An index is 0 or digits without a leading zero.
            std::size_t index = 0;
            const bool digits = !token.empty() && (token == "0" || token[0] != '0') &&
                                std::from_chars(token.data(), token.data() + token.size(), index).ptr ==
                                    token.data() + token.size();
            at = digits && index < array->size() ? &(*array)[index] : nullptr;
        } else {
            at = nullptr;
        }
        if (at == nullptr) return nullptr;
    }
    return at;
}

// Numbers as numbers, whole ones exactly; unordered when either side is no number.
std::partial_ordering compare_numbers(const json::value& member, const DetailCondition::Value& operand) {
    const auto* whole = std::get_if<std::int64_t>(&operand);
    const auto* real = std::get_if<double>(&operand);
    if (whole == nullptr && real == nullptr) return std::partial_ordering::unordered;
    if (member.is_double() || real != nullptr) {
        const auto as_real = [](const json::value& v) -> long double {
            if (v.is_int64()) return static_cast<long double>(v.get_int64());
            if (v.is_uint64()) return static_cast<long double>(v.get_uint64());
            return v.get_double();
        };
        if (!member.is_number()) return std::partial_ordering::unordered;
        const long double right = real != nullptr ? static_cast<long double>(*real)
                                                  : static_cast<long double>(*whole);
        return as_real(member) <=> right;
    }
    if (member.is_int64()) return static_cast<__int128>(member.get_int64()) <=> static_cast<__int128>(*whole);
    if (member.is_uint64()) return static_cast<__int128>(member.get_uint64()) <=> static_cast<__int128>(*whole);
    return std::partial_ordering::unordered;
}

std::partial_ordering compare(const json::value& member, const DetailCondition::Value& operand) {
    if (const auto* text = std::get_if<std::string>(&operand)) {
        const json::string* string = member.if_string();
        if (string == nullptr) return std::partial_ordering::unordered;
        // Bytes compared as unsigned, as char_traits<char> does.
        return std::string_view(string->data(), string->size()) <=> std::string_view(*text);
    }
    if (const auto* flag = std::get_if<bool>(&operand)) {
        if (!member.is_bool()) return std::partial_ordering::unordered;
        return member.get_bool() <=> *flag;  // only eq and ne take a boolean
    }
    return compare_numbers(member, operand);
}

// Whether the member meets the test; a member of another type than the operand never does.
bool holds(const json::value& member, const DetailCondition& condition) {
    if (condition.op == Op::in) {
        return std::any_of(condition.among.begin(), condition.among.end(), [&](const auto& value) {
            return compare(member, value) == std::partial_ordering::equivalent;
        });
    }
    if (condition.op == Op::glob) {
        const json::string* string = member.if_string();
        return string != nullptr &&
               glob_matches(std::get<std::string>(condition.value), std::string_view(string->data(), string->size()));
    }
    const std::partial_ordering order = compare(member, condition.value);
    if (order == std::partial_ordering::unordered) return false;
    switch (condition.op) {
        case Op::eq: return order == 0;
        case Op::ne: return order != 0;
        case Op::lt: return order < 0;
        case Op::le: return order <= 0;
        case Op::gt: return order > 0;
        case Op::ge: return order >= 0;
        default: return false;
    }
}

// Every condition of the rule against the detail (null: none, or none readable). A
// member that is not there fails a release rule and meets a hold or reject rule, so
// that leaving the detail out cannot get an effect past them.
bool conditions_hold(std::span<const DetailCondition> conditions, RuleAction action, const json::value* detail) {
    for (const DetailCondition& condition : conditions) {
        const json::value* member = detail != nullptr ? find_member(*detail, condition.pointer) : nullptr;
        if (condition.op == Op::exists) {
            if ((member != nullptr) != std::get<bool>(condition.value)) return false;
        } else if (member == nullptr) {
            if (action == RuleAction::release) return false;
        } else if (!holds(*member, condition)) {
            return false;
        }
    }
    return true;
}

}  // namespace

const Rule* RuleSet::match(const RuleQuery& query) const {
    // The detail is read once, when the first rule with conditions needs it. Both callers
    // (the decision step, `rules test`) pass what the strict reader at their door took and
    // made canonical, so it is not read strictly again; a text that is not JSON is no detail.
    std::optional<json::value> detail;
    bool read = false;
    for (const Rule& rule : rules_) {
        if (rule.effect && !glob_matches(*rule.effect, query.effect_key)) continue;
        if (rule.run && !glob_matches(*rule.run, query.run_id)) continue;
        if (rule.client && (!query.client || *query.client != *rule.client)) continue;
        if (!rule.conditions.empty() && !read) {
            read = true;
            if (query.detail) {
                boost::system::error_code error;
                json::value value = json::parse(json::string_view(query.detail->data(), query.detail->size()), error);
                if (!error) detail = std::move(value);
            }
        }
        if (conditions_hold(rule.conditions, rule.action, detail ? &*detail : nullptr)) return &rule;
    }
    return nullptr;
}

bool detail_meets(std::span<const DetailCondition> conditions, std::optional<std::string_view> detail) {
    if (conditions.empty()) return true;
    std::optional<json::value> read;
    if (detail) {
        boost::system::error_code error;
        json::value value = json::parse(json::string_view(detail->data(), detail->size()), error);
        if (!error) read = std::move(value);
    }
    return conditions_hold(conditions, RuleAction::release, read ? &*read : nullptr);
}

std::optional<RuleOutcome> RuleSet::for_new_effect(const NewEffect& effect) const {
    const Rule* rule = match(RuleQuery{effect.run_id, effect.effect_key, effect.client, effect.detail});
    if (rule == nullptr) return std::nullopt;
    RuleOutcome outcome;
    outcome.action = rule->action == RuleAction::release ? RuleOutcome::Action::release
                     : rule->action == RuleAction::reject ? RuleOutcome::Action::reject
                                                          : RuleOutcome::Action::hold;
    outcome.rule = rule->name;
    outcome.reason = rule->reason;
    outcome.hold_timeout_ms = rule->hold_timeout.count();
    outcome.grantable = rule->action == RuleAction::hold && rule->grantable && rule->quorum <= 1;
    return outcome;
}

std::span<const std::string> RuleSet::approvers_of(std::string_view rule) const {
    for (const Rule& named : rules_) {
        if (named.name == rule) return named.approvers;
    }
    return {};
}

std::uint32_t RuleSet::quorum_of(std::string_view rule) const {
    for (const Rule& named : rules_) {
        if (named.name == rule) return named.quorum;
    }
    return 1;
}

}  // namespace latchwork::server
