// grant_match.cpp: which rules may be granted, and what a grant covers.
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <cmath>

#include "server/rules/rule_set.h"

namespace latchwork::server {
namespace json = boost::json;
namespace {

struct TestName {
    std::string_view name;
    DetailCondition::Op op;
};
constexpr TestName kTests[] = {
    {"eq", DetailCondition::Op::eq}, {"ne", DetailCondition::Op::ne},     {"lt", DetailCondition::Op::lt},
    {"le", DetailCondition::Op::le}, {"gt", DetailCondition::Op::gt},     {"ge", DetailCondition::Op::ge},
    {"in", DetailCondition::Op::in}, {"glob", DetailCondition::Op::glob}, {"exists", DetailCondition::Op::exists}};

std::optional<DetailCondition::Value> scalar(const json::value& value) {
    if (const json::string* text = value.if_string()) return DetailCondition::Value(std::string(*text));
    if (value.is_int64()) return DetailCondition::Value(value.get_int64());
    if (value.is_uint64()) {
        if (value.get_uint64() > static_cast<std::uint64_t>(INT64_MAX)) return DetailCondition::Value(static_cast<double>(value.get_uint64()));
        return DetailCondition::Value(static_cast<std::int64_t>(value.get_uint64()));
    }
    if (value.is_double()) {
        if (!std::isfinite(value.get_double())) return std::nullopt;
        return DetailCondition::Value(value.get_double());
    }
    if (value.is_bool()) return DetailCondition::Value(value.get_bool());
    return std::nullopt;
}

}  // namespace

Result<std::vector<DetailCondition>> read_grant_conditions(std::string_view json_text) {
    boost::system::error_code error;
    const json::value read = json::parse(json::string_view(json_text.data(), json_text.size()), error);
    if (error || !read.is_object()) return Failure{"detail must be an object of conditions"};
    std::vector<DetailCondition> conditions;
    using Op = DetailCondition::Op;
    for (const auto& [pointer, tests] : read.as_object()) {
        const std::string where = "detail \"" + std::string(pointer) + "\"";
        if (!pointer.empty() && pointer.front() != '/') return Failure{where + " is not a JSON Pointer: it must start with /"};
        const json::object* named = tests.if_object();
        if (named == nullptr || named->empty()) return Failure{where + " must be an object of tests, like {\"le\": 100}"};
        for (const auto& [word, operand] : *named) {
            const std::string_view asked(word.data(), word.size());  // a lambda may not capture a binding
            const auto* known = std::find_if(std::begin(kTests), std::end(kTests),
                                             [asked](const TestName& test) { return test.name == asked; });
            if (known == std::end(kTests)) {
                return Failure{where + ": unknown test \"" + std::string(word) + "\" (eq ne lt le gt ge in glob exists)"};
            }
            const std::string test = where + ": " + std::string(word);
            DetailCondition condition;
            condition.pointer = std::string(pointer);
            condition.op = known->op;
            if (condition.op == Op::in) {
                const json::array* list = operand.if_array();
                if (list == nullptr) return Failure{test + " takes a list of values"};
                for (const json::value& element : *list) {
                    std::optional<DetailCondition::Value> value = scalar(element);
                    if (!value) return Failure{test + " takes strings, numbers or booleans"};
                    condition.among.push_back(std::move(*value));
                }
            } else if (condition.op == Op::exists) {
                if (!operand.is_bool()) return Failure{test + " takes true or false"};
                condition.value = operand.get_bool();
            } else if (condition.op == Op::glob) {
                if (!operand.is_string()) return Failure{test + " takes a string"};
                condition.value = std::string(operand.get_string());
            } else {
                std::optional<DetailCondition::Value> value = scalar(operand);
                const bool ordered = condition.op != Op::eq && condition.op != Op::ne;
                if (!value || (ordered && std::holds_alternative<bool>(*value))) {
                    return Failure{test + (ordered ? " takes a string or a number" : " takes a string, a number or a boolean")};
                }
                condition.value = std::move(*value);
            }
            conditions.push_back(std::move(condition));
        }
    }
    return conditions;
}

std::string RuleSet::grant_refusal(std::string_view rule) const {
    const auto found = std::find_if(rules_.begin(), rules_.end(), [&](const Rule& named) { return named.name == rule; });
    if (found == rules_.end()) return "rule \"" + std::string(rule) + "\" is no longer in the rules, so it cannot be granted";
    if (!found->grantable) return "rule \"" + std::string(rule) + "\" is not grantable: each of its holds needs a person";
    if (found->quorum > 1) return "rule \"" + std::string(rule) + "\" needs a quorum, so it cannot be granted";
    return {};
}

bool RuleSet::grant_covers(const Grant& grant, const NewEffect& effect) const {
    if (!glob_matches(grant.effect, effect.effect_key)) return false;
    if (!grant.run.empty() && grant.run != effect.run_id) return false;
    if (grant.detail.empty() || grant.detail == "{}") return true;
    // Conditions that no longer read (never written so) cover nothing.
    Result<std::vector<DetailCondition>> conditions = read_grant_conditions(grant.detail);
    return conditions && detail_meets(conditions.value(), effect.detail);
}

std::string RuleSet::grant_conditions_fault(std::string_view conditions) const {
    Result<std::vector<DetailCondition>> read = read_grant_conditions(conditions);
    return read ? std::string() : read.error();
}

}  // namespace latchwork::server
