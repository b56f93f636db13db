// approvers.cpp: who may use the console: names, bearer tokens and what each may do.
#include "server/console/approvers.h"

#include <algorithm>
#include <string_view>

#include "server/core/config_lines.h"
#include "server/core/private_file.h"
#include "support/constant_time.h"
#include "support/secure_wipe.h"

namespace latchwork::server {
namespace {

Failure refuse(const std::string& path, const std::string& reason) {
    return Failure{"approvers file " + path + ": " + reason};
}

void wipe(std::string& text) {
    if (!text.empty()) secure_wipe(text.data(), text.size());
}

// Owns the parsed approvers until they are handed on, so that every early refusal
// still wipes the tokens read so far.
struct ParsedApprovers {
    std::vector<Approvers::Approver> list;
    std::vector<std::size_t> lines;  // the file line of each, for the messages
    ~ParsedApprovers() {
        for (Approvers::Approver& approver : list) wipe(approver.token);
    }
};

// The role word after a token's second colon; empty means approver, as in files
// written before there were roles.
std::optional<ConsoleRole> role_of(std::string_view word) {
    if (word.empty() || word == "approver") return ConsoleRole::approver;
    if (word == "viewer") return ConsoleRole::viewer;
    return std::nullopt;
}

// The fourth field's `key=value` pairs, comma-separated, into `approver`; the refusal
// (after "line N") when one is malformed, unknown or given twice.
std::optional<std::string> read_reach(std::string_view field, Approvers::Approver& approver) {
    if (field.empty()) return std::string(" has an empty fourth field (chat=ID,email=ADDRESS)");
    for (std::size_t start = 0; start <= field.size();) {
        std::size_t end = field.find(',', start);
        if (end == std::string_view::npos) end = field.size();
        const std::string_view pair = field.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos || equals == 0 || equals + 1 == pair.size()) {
            return ": \"" + std::string(pair) + "\" is not key=value (chat=ID,email=ADDRESS)";
        }
        const std::string_view key = pair.substr(0, equals);
        const std::string_view value = pair.substr(equals + 1);
        if (std::ranges::any_of(value, is_white_space)) {
            return ": the value of " + std::string(key) + " holds white space";
        }
        std::string* into = key == "chat" ? &approver.chat_user : key == "email" ? &approver.email : nullptr;
        if (into == nullptr) {
            return ": unknown key \"" + std::string(key) + "\" (the keys are chat and email)";
        }
        if (!into->empty()) return ": " + std::string(key) + " is given twice";
        *into = std::string(value);
    }
    return std::nullopt;
}

}  // namespace

std::string_view console_role_name(ConsoleRole role) {
    return role == ConsoleRole::viewer ? "viewer" : "approver";
}

Approvers::~Approvers() {
    for (Approver& approver : approvers_) wipe(approver.token);
}

std::optional<ConsoleUser> Approvers::find(std::string_view token) const {
    std::optional<ConsoleUser> found;
    for (const Approver& approver : approvers_) {
        if (constant_time_equal(approver.token, token) && !found) {
            found = ConsoleUser{approver.name, approver.role};
        }
    }
    return found;
}

std::optional<ConsoleUser> Approvers::find_chat_user(std::string_view chat_user) const {
    if (chat_user.empty()) return std::nullopt;
    for (const Approver& approver : approvers_) {
        if (approver.chat_user == chat_user) return ConsoleUser{approver.name, approver.role};
    }
    return std::nullopt;
}

std::set<std::string, std::less<>> Approvers::approver_names() const {
    std::set<std::string, std::less<>> names;
    for (const Approver& approver : approvers_) {
        if (approver.role == ConsoleRole::approver) names.insert(approver.name);
    }
    return names;
}

Result<std::set<std::string, std::less<>>> load_approver_names(const std::string& path) {
    Result<Approvers> approvers = load_approvers(path);
    if (!approvers) return std::move(approvers).take_failure();
    return approvers.value().approver_names();
}

Result<Approvers> load_approvers(const std::string& path) {
    Result<SecretBytes> content = read_private_file(path, "cannot be opened: ");
    if (!content) return refuse(path, content.error());
    const std::span<const std::uint8_t> bytes = content.value().view();
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    ParsedApprovers parsed;
    for (const auto& [number, line] : config_lines(text)) {
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos || colon + 1 == line.size()) {
            return refuse(path, "line " + std::to_string(number) + " is not name:token");
        }
        const std::string where = "line " + std::to_string(number);
        std::string_view token = line.substr(colon + 1);
        Approvers::Approver approver;
        approver.name = std::string(line.substr(0, colon));
        if (const std::size_t second = token.find(':'); second != std::string_view::npos) {
            std::string_view word = token.substr(second + 1);
            token = token.substr(0, second);
            if (const std::size_t third = word.find(':'); third != std::string_view::npos) {
                const std::string_view reach = word.substr(third + 1);
                word = word.substr(0, third);
                if (word.empty()) return refuse(path, where + " names no role before its fourth field");
                if (std::optional<std::string> bad = read_reach(reach, approver)) return refuse(path, where + *bad);
            }
            const std::optional<ConsoleRole> known = role_of(word);
            if (!known) {
                return refuse(path, where + ": unknown role \"" + std::string(word) +
                                        "\" (the roles are approver and viewer)");
            }
            approver.role = *known;
            if (token.empty()) return refuse(path, where + " is not name:token:role");
        }
        // A space in a token is most often a stray one that no approver will type.
        if (std::ranges::any_of(token, is_white_space)) {
            return refuse(path, where + ": the token holds white space");
        }
        // Two approvers with one token could not be told apart in the audit log, nor
        // two with one chat user in the chat.
        for (std::size_t i = 0; i < parsed.list.size(); ++i) {
            if (parsed.list[i].token == token) {
                return refuse(path, where + " repeats the token of line " + std::to_string(parsed.lines[i]));
            }
            if (!approver.chat_user.empty() && parsed.list[i].chat_user == approver.chat_user) {
                return refuse(path, where + " repeats the chat user of line " + std::to_string(parsed.lines[i]));
            }
        }
        approver.token = std::string(token);
        parsed.list.push_back(std::move(approver));
        parsed.lines.push_back(number);
    }
    if (parsed.list.empty()) return refuse(path, "names no approver");
    return Approvers(std::move(parsed.list));
}

}  // namespace latchwork::server
