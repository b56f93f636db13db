// approver_commands.cpp: `latchwork-gate pending`, `approve` and `reject` against a console.
#include "server/approve/approver_commands.h"

#include <boost/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "server/approve/console_call.h"
#include "server/approve/pending_table.h"
#include "server/core/detail_edit.h"
#include "server/core/diagnostics.h"
#include "server/core/private_file.h"
#include "support/secure_wipe.h"

namespace latchwork::server {
namespace json = boost::json;

namespace {

constexpr std::string_view kPageSize = "1000";  // the most one /api/pending page holds

// The token is wiped when the command ends, whichever way.
struct Token {
    std::string text;
    ~Token() {
        if (!text.empty()) secure_wipe(text.data(), text.size());
    }
};

// From --token-file (owner-only, as the approvers file), else LATCHWORK_TOKEN: never
// from the command line, where other users could read it in the process list.
std::optional<std::string> read_token(const ConsoleCommandOptions& options, Token& token) {
    if (options.token_file) {
        Result<SecretBytes> content = read_private_file(*options.token_file, "cannot be opened: ");
        if (!content) return "--token-file " + *options.token_file + ": " + content.error();
        const auto bytes = content.value().view();
        token.text.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    } else if (const char* from_environment = std::getenv("LATCHWORK_TOKEN")) {
        token.text = from_environment;
    } else {
        return std::string("no token: pass --token-file PATH or set LATCHWORK_TOKEN");
    }
    // An editor's line feed at the end is not part of the token.
    while (!token.text.empty() && std::isspace(static_cast<unsigned char>(token.text.back()))) {
        token.text.pop_back();
    }
    if (token.text.empty()) return std::string("the token is empty");
    return std::nullopt;
}

std::string percent_encode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

// The error text of an answer's {"error":...} body, or the status when there is none.
std::string error_of(const ConsoleAnswer& answer, const json::value& body) {
    const json::object* object = body.if_object();
    const json::value* error = object ? object->if_contains("error") : nullptr;
    if (error && error->is_string()) return std::string(error->get_string());
    return "HTTP " + std::to_string(answer.status);
}

// The exit code an answer that is not 200 ends the command with, its reason printed.
int refused(const ConsoleAnswer& answer, const json::value& body) {
    const std::string error = error_of(answer, body);
    if (answer.status == 403) {
        diagnose(error);
        return kCommandRefused;
    }
    if (answer.status == 401) {
        diagnose("the console refused the token: " + error);
        return kCommandUnreachable;
    }
    diagnose("the console answered " + std::to_string(answer.status) + ": " + error);
    return answer.status >= 500 ? kCommandUnreachable : kCommandRefused;
}

json::value parsed(const ConsoleAnswer& answer) {
    boost::system::error_code ignored;
    return json::parse(answer.body, ignored);
}

int list_pending(const NotifyTarget& console, const std::string& token) {
    json::array items;
    std::string after;
    do {
        std::string path = "/api/pending?limit=" + std::string(kPageSize);
        if (!after.empty()) path += "&after=" + percent_encode(after);
        Result<ConsoleAnswer> answer = call_console(console, "GET", path, token);
        if (!answer) {
            diagnose(answer.error());
            return kCommandUnreachable;
        }
        const json::value body = parsed(answer.value());
        if (answer.value().status != 200) return refused(answer.value(), body);
        const json::object* page = body.if_object();
        const json::value* listed = page ? page->if_contains("items") : nullptr;
        const json::value* next = page ? page->if_contains("next") : nullptr;
        if (listed == nullptr || !listed->is_array()) {
            diagnose("the console's answer is not a page of pending effects");
            return kCommandUnreachable;
        }
        for (const json::value& item : listed->get_array()) items.push_back(item);
        after = next && next->is_string() ? std::string(next->get_string()) : std::string();
    } while (!after.empty());
    if (items.empty()) {
        std::printf("nothing is waiting for a decision\n");
    } else {
        std::fputs(pending_table(items).c_str(), stdout);
    }
    return std::fflush(stdout) == 0 ? kCommandDone : kCommandUnreachable;
}

// "already rejected by bob (not today)": what the console said of a decision too late.
std::string already_text(const json::object& body) {
    const json::value* state = body.if_contains("state");
    const json::value* error = body.if_contains("error");
    // "already approved by ada": a second approval of one person, under a quorum.
    if (state == nullptr && error && error->is_string()) return std::string(error->get_string());
    if (state && *state == "unknown") return "nothing of that run and effect is waiting for a decision";
    std::string text = "already ";
    const json::value* taken_by = body.if_contains("taken_by");
    const bool taken = taken_by && taken_by->is_string();
    // Released by its worker taking an approval: the approval is the decision.
    text += taken ? std::string("approved")
                  : state && state->is_string() ? std::string(state->get_string()) : "decided";
    const json::value* by = body.if_contains("decided_by");
    if (by && by->is_string()) text += " by " + std::string(by->get_string());
    const json::value* reason = body.if_contains("reason");
    if (reason && reason->is_string() && !reason->get_string().empty()) {
        text += " (" + std::string(reason->get_string()) + ")";
    }
    if (taken) text += ", and taken by its worker (" + std::string(taken_by->get_string()) + ")";
    return text;
}

// The detail of the waiting effect as it would be approved now (as an approver changed
// it, else as submitted), read from the console's pending list; or why it cannot be.
Result<json::value> waiting_detail(const NotifyTarget& console, const std::string& token,
                                   const ConsoleCommandOptions& options) {
    std::string after;
    do {
        std::string path = "/api/pending?limit=" + std::string(kPageSize) + "&run=" + percent_encode(options.run_id);
        if (!after.empty()) path += "&after=" + percent_encode(after);
        Result<ConsoleAnswer> answer = call_console(console, "GET", path, token);
        if (!answer) return std::move(answer).take_failure();
        const json::value body = parsed(answer.value());
        if (answer.value().status != 200) return Failure{"the console answered " + error_of(answer.value(), body)};
        const json::object* page = body.if_object();
        const json::value* listed = page ? page->if_contains("items") : nullptr;
        if (listed == nullptr || !listed->is_array()) return Failure{"the console's answer is not a page of pending effects"};
        for (const json::value& item : listed->get_array()) {
            const json::object* effect = item.if_object();
            if (effect == nullptr || effect->if_contains("run_id") == nullptr ||
                effect->at("run_id") != json::value(options.run_id) || effect->if_contains("effect_key") == nullptr ||
                effect->at("effect_key") != json::value(options.effect_key)) {
                continue;
            }
            const json::value* edited = effect->if_contains("edited_detail");
            if (edited != nullptr && edited->is_object()) return *edited;
            const json::value* detail = effect->if_contains("detail");
            if (detail != nullptr && detail->is_object()) return *detail;
            return Failure{"the waiting effect has no detail to change"};
        }
        const json::value* next = page->if_contains("next");
        after = next && next->is_string() ? std::string(next->get_string()) : std::string();
    } while (!after.empty());
    return Failure{"nothing of that run and effect is waiting for a decision"};
}

// `detail` with each "POINTER=VALUE" of --set made so; the pointer's parent must exist.
std::optional<std::string> apply_sets(json::value& detail, const std::vector<std::string>& sets) {
    for (const std::string& set : sets) {
        const std::size_t equals = set.find('=');
        if (equals == std::string::npos || set.empty() || set.front() != '/') {
            return "--set " + set + ": expected POINTER=VALUE, such as /amount=90";
        }
        const std::vector<std::string> tokens = pointer_tokens(std::string_view(set).substr(0, equals));
        boost::system::error_code error;
        json::value value = json::parse(std::string_view(set).substr(equals + 1), error);
        if (error) value = json::string(set.substr(equals + 1));
        json::value* at = &detail;
        for (std::size_t i = 0; i < tokens.size() && at != nullptr; ++i) {
            const bool last = i + 1 == tokens.size();
            if (json::object* object = at->if_object()) {
                if (last) {
                    (*object)[tokens[i]] = std::move(value);
                    break;
                }
                at = object->if_contains(tokens[i]);
            } else if (json::array* array = at->if_array()) {
                const std::string& token = tokens[i];
                const bool index = !token.empty() && token.size() < 10 &&
                                   token.find_first_not_of("0123456789") == std::string::npos &&
                                   std::stoul(token) < array->size();
                at = index ? &(*array)[std::stoul(token)] : nullptr;
                if (last && at != nullptr) {
                    *at = std::move(value);
                    break;
                }
            } else {
                at = nullptr;
            }
        }
        if (at == nullptr) return "--set " + set + ": the detail has no such member to set";
    }
    return std::nullopt;
}

int decide(const NotifyTarget& console, const std::string& token, const ConsoleCommandOptions& options) {
    json::object request{{"run_id", options.run_id},
                         {"effect_key", options.effect_key},
                         {"approved", options.command == ConsoleCommand::approve}};
    if (!options.set.empty()) {
        Result<json::value> detail = waiting_detail(console, token, options);
        if (!detail) {
            diagnose(detail.error());
            return kCommandRefused;
        }
        if (std::optional<std::string> fault = apply_sets(detail.value(), options.set)) {
            diagnose(*fault);
            return kCommandUsage;
        }
        request["detail"] = std::move(detail).value();
    }
    if (options.reason) request["reason"] = *options.reason;
    if (options.remember) {
        json::object remember{{"effect", *options.remember}, {"run", options.remember_run}, {"for", options.remember_for}};
        if (options.remember_detail) {
            // Text that is no JSON goes as it is: the console says what is wrong with it.
            boost::system::error_code error;
            json::value conditions = json::parse(*options.remember_detail, error);
            remember["detail"] = error ? json::value(json::string(*options.remember_detail)) : std::move(conditions);
        }
        request["remember"] = std::move(remember);
    }
    Result<ConsoleAnswer> answer =
        call_console(console, "POST", "/api/decide", token, json::serialize(request));
    if (!answer) {
        diagnose(answer.error());
        return kCommandUnreachable;
    }
    const json::value body = parsed(answer.value());
    if (answer.value().status == 409 && body.is_object()) {
        std::printf("%s\n", already_text(body.get_object()).c_str());
        std::fflush(stdout);
        return kCommandRefused;
    }
    if (answer.value().status != 200) return refused(answer.value(), body);
    const json::object* verdict = body.if_object();
    const json::value* kind = verdict ? verdict->if_contains("verdict") : nullptr;
    if (kind == nullptr || !kind->is_string()) {
        diagnose("the console's answer holds no verdict");
        return kCommandUnreachable;
    }
    std::printf("%s\n", std::string(kind->get_string()).c_str());
    std::fflush(stdout);
    // A rejection's verdict is the line protocol's, refused_rejected.
    // An approval short of a rule's quorum is recorded: done, the effect waits for more.
    const bool done = *kind == "approved" || *kind == "refused_rejected" || *kind == "approval_recorded";
    return done ? kCommandDone : kCommandRefused;
}

}  // namespace

int run_console_command(const ConsoleCommandOptions& options) {
    Result<NotifyTarget> console = parse_console_url(options.console);
    if (!console) {
        diagnose(console.error());
        return kCommandUsage;
    }
    Token token;
    if (std::optional<std::string> problem = read_token(options, token)) {
        diagnose(*problem);
        return kCommandUsage;
    }
    if (options.command == ConsoleCommand::pending) return list_pending(console.value(), token.text);
    return decide(console.value(), token.text, options);
}

}  // namespace latchwork::server
