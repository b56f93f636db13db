// rule_set.cpp: the rules file read, checked and matched.
#include "server/rules/rule_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "hmac/sha256.h"
#include "server/core/duration_text.h"

namespace latchwork::server {
namespace {

constexpr std::string_view kTopKeys[] = {"groups", "rule"};
constexpr std::string_view kRuleKeys[] = {
    "name",        "effect",         "run",          "client",    "action",
    "reason",      "detail",         "approvers",    "quorum",    "hold_timeout",
    "remind_after", "escalate_after", "escalate_to", "grantable"};
// Keys that only mean something while an effect is held.
constexpr std::string_view kHoldKeys[] = {"approvers",    "quorum",         "hold_timeout",
                                          "remind_after", "escalate_after", "escalate_to",
                                          "grantable"};

struct OperatorName {
    std::string_view name;
    DetailCondition::Op op;
};
constexpr OperatorName kOperators[] = {
    {"eq", DetailCondition::Op::eq}, {"ne", DetailCondition::Op::ne},
    {"lt", DetailCondition::Op::lt}, {"le", DetailCondition::Op::le},
    {"gt", DetailCondition::Op::gt}, {"ge", DetailCondition::Op::ge},
    {"in", DetailCondition::Op::in}, {"glob", DetailCondition::Op::glob},
    {"exists", DetailCondition::Op::exists}};

template <std::size_t N>
bool one_of(std::string_view word, const std::string_view (&words)[N]) {
    return std::find(std::begin(words), std::end(words), word) != std::end(words);
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    out.append(text);
    out += '"';
    return out;
}

int line_of(const toml::source_region& source) { return static_cast<int>(source.begin.line); }

// Reads the parsed document into rules; the first problem found ends it.
class Reader {
public:
    Reader(std::string_view shown, const std::optional<ApproverNames>& known)
        : shown_(shown), known_(known) {}

    std::optional<Failure> read(const toml::table& top, std::vector<Rule>& rules,
                                std::size_t& group_count) {
        for (const auto& [key, node] : top) {
            if (!one_of(key.str(), kTopKeys)) return refuse(key.source(), "unknown key " + quoted(key.str()));
        }
        if (const toml::node* groups = top.get("groups")) {
            if (std::optional<Failure> bad = read_groups(*groups)) return bad;
        }
        group_count = groups_.size();
        if (const toml::node* list = top.get("rule")) {
            const toml::array* tables = list->as_array();
            if (tables == nullptr || !tables->is_array_of_tables()) {
                return refuse(list->source(), "rule must be [[rule]] tables");
            }
            for (const toml::node& table : *tables) {
                Rule rule;
                if (std::optional<Failure> bad = read_rule(*table.as_table(), rule)) return bad;
                for (const Rule& earlier : rules) {
                    if (earlier.name == rule.name) {
                        return refuse(rule.line, "rule name " + quoted(rule.name) +
                                                     " is used again (first at line " +
                                                     std::to_string(earlier.line) + ")");
                    }
                }
                rules.push_back(std::move(rule));
            }
        }
        return std::nullopt;
    }

private:
    Failure refuse(int line, const std::string& message) const {
        std::string text(shown_);
        if (line > 0) text += ":" + std::to_string(line);
        return Failure{text + ": " + message};
    }
    Failure refuse(const toml::source_region& source, const std::string& message) const {
        return refuse(line_of(source), message);
    }

    std::optional<Failure> read_groups(const toml::node& node) {
        const toml::table* table = node.as_table();
        if (table == nullptr) return refuse(node.source(), "groups must be a table of name lists");
        for (const auto& [key, members] : *table) {
            const std::string name(key.str());
            const toml::array* list = members.as_array();
            if (list == nullptr) return refuse(members.source(), "group " + quoted(name) + " must be a list of names");
            if (list->empty()) return refuse(members.source(), "group " + quoted(name) + " names nobody");
            std::vector<std::string>& expanded = groups_[name];
            for (const toml::node& member : *list) {
                const std::optional<std::string_view> who = member.value<std::string_view>();
                if (!who) return refuse(member.source(), "group " + quoted(name) + " must be a list of names");
                if (known_ && !known_->contains(*who)) {
                    return refuse(member.source(), "group " + quoted(name) + " names " + quoted(*who) +
                                                       ", who is not an approver");
                }
                if (std::find(expanded.begin(), expanded.end(), *who) == expanded.end()) {
                    expanded.emplace_back(*who);
                }
            }
        }
        return std::nullopt;
    }

    std::optional<Failure> read_text(const toml::table& rule, std::string_view key,
                                     std::optional<std::string>& into) {
        const toml::node* node = rule.get(key);
        if (node == nullptr) return std::nullopt;
        const std::optional<std::string> text = node->value<std::string>();
        if (!text) return refuse(node->source(), std::string(key) + " must be a string");
        into = *text;
        return std::nullopt;
    }

    // Group names and approver names into people, in order, each once.
    std::optional<Failure> read_people(const toml::table& rule, std::string_view key,
                                       const std::string& rule_name, std::vector<std::string>& into,
                                       std::vector<std::string>* written = nullptr) {
        const toml::node* node = rule.get(key);
        if (node == nullptr) return std::nullopt;
        const toml::array* list = node->as_array();
        if (list == nullptr) return refuse(node->source(), std::string(key) + " must be a list of groups or names");
        if (list->empty()) {
            return refuse(node->source(), "rule " + quoted(rule_name) + ": " + std::string(key) + " names nobody");
        }
        for (const toml::node& entry : *list) {
            const std::optional<std::string> who = entry.value<std::string>();
            if (!who) return refuse(entry.source(), std::string(key) + " must be a list of groups or names");
            if (written != nullptr) written->push_back(*who);
            std::vector<std::string> people;
            if (const auto group = groups_.find(*who); group != groups_.end()) {
                people = group->second;
            } else if (known_ && !known_->contains(*who)) {
                return refuse(entry.source(), "rule " + quoted(rule_name) + ": " + std::string(key) + " names " +
                                                  quoted(*who) + ", neither a group nor an approver");
            } else {
                people.push_back(*who);
            }
            for (std::string& person : people) {
                if (std::find(into.begin(), into.end(), person) == into.end()) into.push_back(std::move(person));
            }
        }
        return std::nullopt;
    }

    std::optional<Failure> read_duration(const toml::table& rule, std::string_view key,
                                         std::chrono::milliseconds& into) {
        std::optional<std::string> text;
        if (std::optional<Failure> bad = read_text(rule, key, text)) return bad;
        if (!text) return std::nullopt;
        Result<std::chrono::milliseconds> parsed = parse_duration(*text, DurationUnits::with_days);
        if (!parsed) return refuse(rule.get(key)->source(), std::string(key) + ": " + parsed.error());
        into = parsed.value();
        return std::nullopt;
    }

    std::optional<Failure> read_rule(const toml::table& table, Rule& rule) {
        rule.line = line_of(table.source());
        for (const auto& [key, node] : table) {
            if (!one_of(key.str(), kRuleKeys)) return refuse(key.source(), "unknown key " + quoted(key.str()) + " in a rule");
        }
        std::optional<std::string> name;
        if (std::optional<Failure> bad = read_text(table, "name", name)) return bad;
        if (!name || name->empty()) return refuse(rule.line, "a rule without a name");
        rule.name = std::move(*name);
        const std::string named = "rule " + quoted(rule.name);

        std::optional<std::string> action;
        if (std::optional<Failure> bad = read_text(table, "action", action)) return bad;
        if (!action) return refuse(rule.line, named + " has no action (release, hold or reject)");
        if (*action == "release") rule.action = RuleAction::release;
        else if (*action == "hold") rule.action = RuleAction::hold;
        else if (*action == "reject") rule.action = RuleAction::reject;
        else {
            return refuse(table.get("action")->source(),
                          named + ": unknown action " + quoted(*action) + " (release, hold or reject)");
        }
        if (rule.action != RuleAction::hold) {
            for (const auto& [key, node] : table) {
                if (one_of(key.str(), kHoldKeys)) {
                    return refuse(key.source(), named + ": " + std::string(key.str()) +
                                                    " is for hold rules, and this one is " +
                                                    std::string(rule_action_name(rule.action)));
                }
            }
        }
        for (auto [key, into] : {std::pair{"effect", &rule.effect}, std::pair{"run", &rule.run},
                                 std::pair{"client", &rule.client}}) {
            if (std::optional<Failure> bad = read_text(table, key, *into)) return bad;
        }
        std::optional<std::string> reason;
        if (std::optional<Failure> bad = read_text(table, "reason", reason)) return bad;
        rule.reason = reason.value_or("");

        if (std::optional<Failure> bad =
                read_people(table, "approvers", rule.name, rule.approvers, &rule.approvers_written)) {
            return bad;
        }
        if (std::optional<Failure> bad = read_people(table, "escalate_to", rule.name, rule.escalate_to)) return bad;
        if (const toml::node* quorum = table.get("quorum")) {
            const std::optional<std::int64_t> count = quorum->value_exact<std::int64_t>();
            if (!count) return refuse(quorum->source(), named + ": quorum must be a whole number");
            if (*count < 1) return refuse(quorum->source(), named + ": quorum must be at least 1");
            // The number of people it could be drawn from, when known.
            std::optional<std::size_t> people;
            if (!rule.approvers.empty()) people = rule.approvers.size();
            else if (known_) people = known_->size();
            if (people && static_cast<std::uint64_t>(*count) > *people) {
                return refuse(quorum->source(), named + " needs a quorum of " + std::to_string(*count) +
                                                    " but its approvers are " + std::to_string(*people) +
                                                    (*people == 1 ? " person" : " people"));
            }
            rule.quorum = static_cast<std::uint32_t>(*count);
        }
        for (auto [key, into] : {std::pair{"hold_timeout", &rule.hold_timeout},
                                 std::pair{"remind_after", &rule.remind_after},
                                 std::pair{"escalate_after", &rule.escalate_after}}) {
            if (std::optional<Failure> bad = read_duration(table, key, *into)) return bad;
        }
        if ((table.get("escalate_after") != nullptr) != (table.get("escalate_to") != nullptr)) {
            return refuse(rule.line, named + ": escalate_after and escalate_to go together");
        }
        if (const toml::node* grantable = table.get("grantable")) {
            const std::optional<bool> flag = grantable->value_exact<bool>();
            if (!flag) return refuse(grantable->source(), named + ": grantable must be true or false");
            rule.grantable = *flag;
        }
        if (const toml::node* detail = table.get("detail")) {
            const toml::table* conditions = detail->as_table();
            if (conditions == nullptr) return refuse(detail->source(), named + ": detail must be a table");
            for (const auto& [pointer, node] : *conditions) {
                if (std::optional<Failure> bad = read_conditions(pointer, node, named, rule.conditions)) return bad;
            }
        }
        return std::nullopt;
    }

    // The operand of a comparison: a string, a number or a boolean.
    static std::optional<DetailCondition::Value> scalar(const toml::node& node) {
        if (const auto* text = node.as_string()) return DetailCondition::Value(text->get());
        if (const auto* whole = node.as_integer()) return DetailCondition::Value(whole->get());
        if (const auto* number = node.as_floating_point()) {
            if (number->get() != number->get()) return std::nullopt;  // nan equals nothing
            return DetailCondition::Value(number->get());
        }
        if (const auto* flag = node.as_boolean()) return DetailCondition::Value(flag->get());
        return std::nullopt;
    }

    std::optional<Failure> read_conditions(const toml::key& pointer, const toml::node& node,
                                           const std::string& named,
                                           std::vector<DetailCondition>& into) {
        const std::string where = named + ": " + quoted(pointer.str());
        if (!pointer.str().empty() && pointer.str().front() != '/') {
            return refuse(pointer.source(), where + " is not a JSON Pointer: it must start with /");
        }
        const toml::table* operators = node.as_table();
        if (operators == nullptr || operators->empty()) {
            return refuse(node.source(), where + " must be a table of tests, like { le = 100 }");
        }
        for (const auto& [word, operand] : *operators) {
            const std::string_view said = word.str();  // (Clang 14 captures no structured binding)
            const auto* known = std::find_if(std::begin(kOperators), std::end(kOperators),
                                             [said](const OperatorName& o) { return o.name == said; });
            if (known == std::end(kOperators)) {
                return refuse(word.source(), where + ": unknown test " + quoted(word.str()) +
                                                 " (eq ne lt le gt ge in glob exists)");
            }
            DetailCondition condition;
            condition.pointer = std::string(pointer.str());
            condition.op = known->op;
            const std::string test = where + ": " + std::string(word.str());
            using Op = DetailCondition::Op;
            if (condition.op == Op::in) {
                const toml::array* list = operand.as_array();
                if (list == nullptr) return refuse(operand.source(), test + " takes a list of values");
                for (const toml::node& element : *list) {
                    std::optional<DetailCondition::Value> value = scalar(element);
                    if (!value) return refuse(element.source(), test + " takes strings, numbers or booleans");
                    condition.among.push_back(std::move(*value));
                }
            } else if (condition.op == Op::exists) {
                const std::optional<bool> flag = operand.value_exact<bool>();
                if (!flag) return refuse(operand.source(), test + " takes true or false");
                condition.value = *flag;
            } else if (condition.op == Op::glob) {
                const auto* text = operand.as_string();
                if (text == nullptr) return refuse(operand.source(), test + " takes a string");
                condition.value = text->get();
            } else {
                std::optional<DetailCondition::Value> value = scalar(operand);
                const bool ordered = condition.op != Op::eq && condition.op != Op::ne;
                if (!value || (ordered && std::holds_alternative<bool>(*value))) {
                    return refuse(operand.source(), test + (ordered ? " takes a string or a number"
                                                                    : " takes a string, a number or a boolean"));
                }
                condition.value = std::move(*value);
            }
            into.push_back(std::move(condition));
        }
        return std::nullopt;
    }

    std::string_view shown_;
    const std::optional<ApproverNames>& known_;
    std::map<std::string, std::vector<std::string>, std::less<>> groups_;
};

std::string hex_digest(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    const Sha256Digest digest = finalize(hash);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xf];
    }
    return hex;
}

bool matches_everything(const std::optional<std::string>& glob) { return !glob || *glob == "*"; }

}  // namespace

std::string_view rule_action_name(RuleAction action) {
    switch (action) {
        case RuleAction::release: return "release";
        case RuleAction::hold: return "hold";
        case RuleAction::reject: return "reject";
    }
    return "release";
}

bool glob_matches(std::string_view pattern, std::string_view text) {
    // One character of UTF-8 from `at`: its lead byte and the continuation bytes after it.
    const auto next = [&](std::size_t at) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80) ++at;
        return at;
    };
    std::size_t p = 0, t = 0;
    std::optional<std::pair<std::size_t, std::size_t>> star;  // after the last *, and where its run ends
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = {++p, t};
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            t = next(t);
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star) {
            p = star->first;
            t = star->second = next(star->second);
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

Result<RuleSet> RuleSet::parse(std::string_view text, std::string_view shown,
                               const std::optional<ApproverNames>& known_approvers) {
    toml::table top;
    try {
        top = toml::parse(text, shown);
    } catch (const toml::parse_error& error) {
        std::string message(shown);
        if (error.source().begin.line > 0) message += ":" + std::to_string(error.source().begin.line);
        return Failure{message + ": " + std::string(error.description())};
    }
    RuleSet set;
    set.shown_ = std::string(shown);
    Reader reader(shown, known_approvers);
    if (std::optional<Failure> bad = reader.read(top, set.rules_, set.group_count_)) return std::move(*bad);
    set.digest_ = hex_digest(text);
    return set;
}

Result<RuleSet> RuleSet::load(const std::string& path,
                              const std::optional<ApproverNames>& known_approvers) {
    const auto refuse = [&](const std::string& why) { return Failure{"rules " + path + ": " + why}; };
    // Non-blocking, so that a FIFO named by mistake is refused rather than waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse(std::string("cannot be opened: ") + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info{};
    if (::fstat(fd, &info) != 0) return refuse(std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return refuse("not a regular file");
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return refuse(std::string("mode ") + mode + " lets others change the rules; chmod go-w it");
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return refuse(std::string("cannot be read: ") + std::strerror(errno));
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return parse(text, path, known_approvers);
}

std::vector<std::string> RuleSet::shadowed() const {
    std::vector<std::string> found;
    for (std::size_t later = 0; later < rules_.size(); ++later) {
        const Rule& hidden = rules_[later];
        for (std::size_t earlier = 0; earlier < later; ++earlier) {
            const Rule& first = rules_[earlier];
            const bool covers = first.conditions.empty() &&
                                (!first.client || first.client == hidden.client) &&
                                (matches_everything(first.effect) || first.effect == hidden.effect) &&
                                (matches_everything(first.run) || first.run == hidden.run);
            if (!covers) continue;
            found.push_back(shown_ + ":" + std::to_string(hidden.line) + ": rule " + quoted(hidden.name) +
                            " is never reached: rule " + quoted(first.name) + " matches everything it does");
            break;
        }
    }
    return found;
}

std::optional<std::string> RuleSet::unenforced() const {
    for (const Rule& rule : rules_) {
        const char* key = rule.remind_after.count() != 0    ? "remind_after"
                          : rule.escalate_after.count() != 0 ? "escalate_after"
                                                            : nullptr;
        if (key == nullptr) continue;
        return shown_ + ":" + std::to_string(rule.line) + ": rule \"" + rule.name + "\" sets " + key +
               ", which serve does not enforce yet; remove it to serve these rules";
    }
    return std::nullopt;
}

}  // namespace latchwork::server
