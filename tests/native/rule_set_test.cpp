// rule_set_test.cpp: the rules file: detail tests, which rule a submit meets, load errors.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "server/rules/rule_set.h"

namespace latchwork::server {
namespace {

RuleSet parsed(const std::string& text, const std::optional<ApproverNames>& known = std::nullopt) {
    Result<RuleSet> rules = RuleSet::parse(text, "r.toml", known);
    EXPECT_TRUE(rules.ok()) << rules.error();
    return rules.ok() ? std::move(rules).value() : RuleSet();
}

TEST(RuleConditions, EachTestOnEachKindOfMember) {
    struct Row {
        const char* action;
        const char* condition;
        std::optional<const char*> detail;
        bool matches;
    };
    const Row rows[] = {
        // Numbers as numbers, whole ones exactly; never against a string.
        {"release", R"("/n" = { eq = 5 })", R"({"n":5.0})", true},
        {"release", R"("/n" = { eq = 5 })", R"({"n":"5"})", false},
        {"release", R"("/n" = { eq = "5" })", R"({"n":5})", false},
        {"release", R"("/n" = { ne = 5 })", R"({"n":6})", true},
        {"release", R"("/n" = { ne = 5 })", R"({"n":"x"})", false},
        {"release", R"("/n" = { eq = 9007199254740993 })", R"({"n":9007199254740992})", false},
        {"release", R"("/n" = { le = 100 })", R"({"n":18446744073709551615})", false},
        {"release", R"("/n" = { lt = 10 })", R"({"n":9.5})", true},
        {"release", R"("/n" = { lt = 10 })", R"({"n":10})", false},
        {"release", R"("/n" = { le = 10 })", R"({"n":10})", true},
        {"release", R"("/n" = { gt = 1.5 })", R"({"n":2})", true},
        {"release", R"("/n" = { ge = 2, le = 20 })", R"({"n":2})", true},
        {"release", R"("/n" = { ge = 2, le = 20 })", R"({"n":21})", false},
        // Strings by their bytes, unsigned.
        {"release", R"("/s" = { lt = "b" })", R"({"s":"a"})", true},
        {"release", R"("/s" = { gt = "Z" })", R"({"s":"a"})", true},
        {"release", R"("/s" = { gt = "z" })", R"({"s":"é"})", true},
        {"release", R"("/s" = { eq = true })", R"({"s":true})", true},
        {"release", R"("/s" = { eq = true })", R"({"s":"true"})", false},
        {"release", R"("/c" = { in = ["EUR", "USD"] })", R"({"c":"USD"})", true},
        {"release", R"("/c" = { in = ["EUR", "USD"] })", R"({"c":"GBP"})", false},
        {"release", R"("/c" = { in = [1, 2] })", R"({"c":2.0})", true},
        {"release", R"("/c" = { in = ["1"] })", R"({"c":1})", false},
        {"release", R"("/to" = { glob = "*@example.com" })", R"({"to":"a@example.com"})", true},
        {"release", R"("/to" = { glob = "*@example.com" })", R"({"to":"a@example.org"})", false},
        {"release", R"("/to" = { glob = "a?c" })", R"({"to":"aéc"})", true},
        {"release", R"("/to" = { glob = "*" })", R"({"to":5})", false},
        // Pointers into nested members, with escapes; "" is the whole detail.
        {"release", R"("/to/1/a~1b~0" = { eq = 1 })", R"({"to":[{},{"a/b~":1}]})", true},
        {"release", R"("/to/01" = { exists = true })", R"({"to":[1,2]})", false},
        {"release", R"("" = { exists = true })", R"({})", true},
        // exists says whether the member is there, whatever the action.
        {"release", R"("/x" = { exists = true })", R"({"x":null})", true},
        {"hold", R"("/x" = { exists = true })", R"({})", false},
        {"release", R"("/x" = { exists = false })", R"({})", true},
        {"release", R"("/x" = { exists = false })", std::nullopt, true},
        {"hold", R"("/x" = { exists = false })", R"({"x":1})", false},
        {"hold", R"("/x" = { exists = false })", R"({"x":1)", true},  // no JSON: no detail
        // A member that is not there fails a release rule and meets the others.
        {"release", R"("/n" = { le = 100 })", R"({"m":1})", false},
        {"release", R"("/n" = { le = 100 })", std::nullopt, false},
        {"hold", R"("/n" = { le = 100 })", R"({"m":1})", true},
        {"hold", R"("/n" = { le = 100 })", std::nullopt, true},
        {"reject", R"("/n" = { le = 100 })", std::nullopt, true},
        {"reject", R"("/n" = { le = 100 })", R"({"n":101})", false},
    };
    for (const Row& row : rows) {
        const std::string text = std::string("[[rule]]\nname = \"r\"\naction = \"") + row.action +
                                 "\"\n[rule.detail]\n" + row.condition + "\n";
        const RuleSet rules = parsed(text);
        RuleQuery query{"run", "effect", std::nullopt, std::nullopt};
        if (row.detail) query.detail = *row.detail;
        EXPECT_EQ(rules.match(query) != nullptr, row.matches)
            << row.action << " " << row.condition << " on " << row.detail.value_or("no detail");
    }
}

TEST(RuleMatch, FirstMatchingRuleDecides) {
    const RuleSet rules = parsed(R"(
[groups]
finance = ["ada", "bob"]

[[rule]]
name = "billing pays"
client = "billing"
effect = "pay:*"
action = "release"

[[rule]]
name = "payments"
effect = "pay:*"
run = "prod-?"
action = "hold"
approvers = ["finance", "carol", "ada"]
quorum = 2
hold_timeout = "1d"
escalate_after = "90s"
escalate_to = ["finance"]

[[rule]]
name = "the rest"
action = "reject"
)");
    struct Row {
        std::optional<std::string_view> client;
        std::string_view run, effect, rule;
    };
    const Row rows[] = {
        {"billing", "prod-1", "pay:x", "billing pays"},
        {std::nullopt, "prod-1", "pay:x", "payments"},  // a rule with a client needs that client
        {"other", "prod-é", "pay:", "payments"},
        {"other", "prod-12", "pay:x", "the rest"},
        {"other", "prod-1", "xpay:", "the rest"},
    };
    for (const Row& row : rows) {
        const Rule* rule = rules.match({row.run, row.effect, row.client, std::nullopt});
        ASSERT_NE(rule, nullptr) << row.run << " " << row.effect;
        EXPECT_EQ(rule->name, row.rule) << row.run << " " << row.effect;
    }
    const Rule& payments = rules.rules()[1];
    EXPECT_EQ(payments.approvers, (std::vector<std::string>{"ada", "bob", "carol"}));
    EXPECT_EQ(payments.escalate_to, (std::vector<std::string>{"ada", "bob"}));
    EXPECT_EQ(payments.quorum, 2u);
    EXPECT_EQ(payments.hold_timeout, std::chrono::hours(24));
    EXPECT_EQ(payments.escalate_after, std::chrono::seconds(90));
    EXPECT_EQ(payments.line, 11);  // its [[rule]] header
    EXPECT_EQ(rules.group_count(), 1u);
    EXPECT_TRUE(rules.shadowed().empty());
    EXPECT_EQ(parsed("[[rule]]\nname = \"a\"\nrun = \"*\"\naction = \"hold\"\n"
                     "[[rule]]\nname = \"b\"\neffect = \"x\"\nclient = \"c\"\naction = \"reject\"\n")
                  .shadowed(),
              std::vector<std::string>{
                  "r.toml:5: rule \"b\" is never reached: rule \"a\" matches everything it does"});
}

TEST(RuleLoad, EachProblemIsNamedWithItsLine) {
    const ApproverNames known{"ada", "bob"};
    struct Row {
        std::string text;
        bool with_names;
        std::string message;
    };
    const std::string rule = "[[rule]]\nname = \"r\"\n";
    const Row rows[] = {
        {"colour = 1\n", false, "r.toml:1: unknown key \"colour\""},
        {"[[rule]\n", false, "r.toml:1: "},  // toml++'s own words follow
        {rule + "action = \"release\"\nefect = \"x\"\n", false, "r.toml:4: unknown key \"efect\" in a rule"},
        {"[[rule]]\naction = \"hold\"\n", false, "r.toml:1: a rule without a name"},
        {rule + "action = \"hold\"\n" + rule + "action = \"hold\"\n", false,
         "r.toml:4: rule name \"r\" is used again (first at line 1)"},
        {rule + "action = \"allow\"\n", false, "r.toml:3: rule \"r\": unknown action \"allow\""},
        {rule + "effect = \"x\"\n", false, "r.toml:1: rule \"r\" has no action"},
        {rule + "action = \"release\"\n[rule.detail]\n\"/a\" = { like = 1 }\n", false,
         "r.toml:5: rule \"r\": \"/a\": unknown test \"like\""},
        {rule + "action = \"release\"\n[rule.detail]\n\"/a\" = { in = \"x\" }\n", false,
         "r.toml:5: rule \"r\": \"/a\": in takes a list of values"},
        {rule + "action = \"release\"\n[rule.detail]\n\"/a\" = { exists = 1 }\n", false,
         "r.toml:5: rule \"r\": \"/a\": exists takes true or false"},
        {rule + "action = \"release\"\n[rule.detail]\n\"/a\" = { glob = 1 }\n", false,
         "r.toml:5: rule \"r\": \"/a\": glob takes a string"},
        {rule + "action = \"release\"\n[rule.detail]\n\"/a\" = { lt = true }\n", false,
         "r.toml:5: rule \"r\": \"/a\": lt takes a string or a number"},
        {rule + "action = \"release\"\n[rule.detail]\n\"a\" = { eq = 1 }\n", false,
         "r.toml:5: rule \"r\": \"a\" is not a JSON Pointer"},
        {rule + "action = \"hold\"\nquorum = 0\n", false, "r.toml:4: rule \"r\": quorum must be at least 1"},
        {rule + "action = \"hold\"\nhold_timeout = \"4 hours\"\n", false,
         "r.toml:4: hold_timeout: \"4 hours\" is not a duration"},
        {rule + "action = \"release\"\nquorum = 1\n", false,
         "r.toml:4: rule \"r\": quorum is for hold rules, and this one is release"},
        {rule + "action = \"hold\"\nescalate_after = \"1h\"\n", false,
         "r.toml:1: rule \"r\": escalate_after and escalate_to go together"},
        {"[groups]\nf = [\"x\", \"y\", \"x\"]\n" + rule + "action = \"hold\"\napprovers = [\"f\"]\nquorum = 3\n",
         false, "r.toml:7: rule \"r\" needs a quorum of 3 but its approvers are 2 people"},
        {rule + "action = \"hold\"\nquorum = 3\n", true,
         "r.toml:4: rule \"r\" needs a quorum of 3 but its approvers are 2 people"},
        {rule + "action = \"hold\"\napprovers = [\"ada\", \"eve\"]\n", true,
         "r.toml:4: rule \"r\": approvers names \"eve\", neither a group nor an approver"},
        {"[groups]\nf = [\"ada\", \"eve\"]\n", true, "r.toml:2: group \"f\" names \"eve\", who is not an approver"},
    };
    for (const Row& row : rows) {
        Result<RuleSet> rules = RuleSet::parse(row.text, "r.toml", row.with_names ? std::optional(known) : std::nullopt);
        ASSERT_FALSE(rules.ok()) << row.text;
        EXPECT_EQ(rules.error().substr(0, row.message.size()), row.message) << row.text;
    }
    // The same names resolve when they are known.
    EXPECT_TRUE(RuleSet::parse(rule + "action = \"hold\"\napprovers = [\"ada\", \"bob\"]\nquorum = 2\n", "r.toml",
                               known)
                    .ok());
}

}  // namespace
}  // namespace latchwork::server

namespace latchwork::server {
namespace {

TEST(RuleGrants, WhatAGrantCoversAndWhichRulesMayBeGranted) {
    const RuleSet rules = parsed(R"([[rule]]
name = "pay"
effect = "pay:*"
action = "hold"
grantable = true

[[rule]]
name = "mail"
effect = "mail:*"
action = "hold"
)");
    EXPECT_EQ(rules.grant_refusal("pay"), "");
    EXPECT_EQ(rules.grant_refusal("mail"), R"(rule "mail" is not grantable: each of its holds needs a person)");
    EXPECT_NE(rules.grant_refusal("gone"), "");
    EXPECT_TRUE(rules.for_new_effect(NewEffect{"r", "pay:1", {}, {}})->grantable);
    EXPECT_FALSE(rules.for_new_effect(NewEffect{"r", "mail:1", {}, {}})->grantable);

    struct Row {
        const char* effect;
        const char* run;
        const char* conditions;
        const char* run_id;
        const char* key;
        std::optional<const char*> detail;
        bool covers;
    };
    const Row rows[] = {
        {"pay:*", "", "{}", "r", "pay:2", std::nullopt, true},
        {"pay:*", "", "{}", "r", "paid:2", std::nullopt, false},
        {"pay:*", "r", "{}", "s", "pay:2", std::nullopt, false},
        {"pay:*", "", R"({"/amount":{"le":10}})", "r", "pay:2", R"({"amount":10})", true},
        {"pay:*", "", R"({"/amount":{"le":10}})", "r", "pay:2", R"({"amount":10.5})", false},
        // A member the detail lacks, or no detail at all, is not covered.
        {"pay:*", "", R"({"/amount":{"le":10}})", "r", "pay:2", R"({"sum":1})", false},
        {"pay:*", "", R"({"/amount":{"le":10}})", "r", "pay:2", std::nullopt, false},
        {"pay:*", "", R"({"/to":{"in":["bob","eve"]},"/amount":{"ge":1}})", "r", "pay:2", R"({"amount":1,"to":"eve"})", true},
    };
    for (const Row& row : rows) {
        Grant grant;
        grant.rule = "pay";
        grant.effect = row.effect;
        grant.run = row.run;
        grant.detail = row.conditions;
        NewEffect effect{row.run_id, row.key, std::nullopt, std::nullopt};
        if (row.detail) effect.detail = *row.detail;
        EXPECT_EQ(rules.grant_covers(grant, effect), row.covers) << row.conditions << " " << row.detail.value_or("-");
    }
}

TEST(RuleGrants, ConditionsReadFromJsonAsTheRulesFileWritesThem) {
    const std::pair<const char*, const char*> rows[] = {
        {R"({"/amount":{"le":10},"/to":{"glob":"*@example.org"},"/x":{"exists":false}})", ""},
        {R"([])", "detail must be an object of conditions"},
        {R"({"amount":{"le":1}})", R"(detail "amount" is not a JSON Pointer: it must start with /)"},
        {R"({"/a":{}})", R"(detail "/a" must be an object of tests, like {"le": 100})"},
        {R"({"/a":{"below":1}})", R"(detail "/a": unknown test "below" (eq ne lt le gt ge in glob exists))"},
        {R"({"/a":{"le":true}})", R"(detail "/a": le takes a string or a number)"},
        {R"({"/a":{"in":3}})", R"(detail "/a": in takes a list of values)"},
        {R"({"/a":{"exists":1}})", R"(detail "/a": exists takes true or false)"},
    };
    for (const auto& [text, fault] : rows) {
        Result<std::vector<DetailCondition>> read = read_grant_conditions(text);
        EXPECT_EQ(read ? std::string() : read.error(), fault) << text;
    }
}

}  // namespace
}  // namespace latchwork::server
