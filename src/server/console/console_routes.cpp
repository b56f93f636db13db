// console_routes.cpp: what each console URL answers, decided on the network thread.
//
// Decisions go through the request handler, the same logic and the same store path
// as a line-protocol request; each reply carries the batch it must wait for.
#include "server/console/console_routes.h"

#include <boost/asio/this_coro.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <charconv>
#include <map>
#include <variant>

#include "server/console/awaited_read.h"
#include "server/console/console_assets.h"
#include "server/console/decided_by.h"
#include "server/console/rules_agreement.h"
#include "server/console/detail_value.h"
#include "server/core/decider_name.h"
#include "server/core/written_json.h"
#include "server/core/detail_json.h"
#include "server/core/duration_text.h"
#include "server/core/effect_state_text.h"
#include "server/console/url_text.h"

namespace latchwork::server {
namespace asio = boost::asio;
namespace json = boost::json;

namespace {

constexpr std::size_t kDefaultPageSize = 100;
constexpr std::size_t kMaxPageSize = 1000;
// The most a page's items may take as written. A viewer that never reads keeps its
// reply for the write timeout, so a page of long items ends early, with its cursor.
constexpr std::size_t kMaxPageBytes = 256 * 1024;

HttpReply json_reply(const json::value& value, std::uint64_t wait_for) {
    HttpReply reply;
    reply.body = serialize_keeping_written(value);
    reply.wait_for = wait_for;
    return reply;
}

HttpReply method_not_allowed(std::string_view allow) {
    HttpReply reply = error_reply(405, "method not allowed");
    reply.allow = std::string(allow);
    return reply;
}

HttpReply asset(const ConsoleAsset& found) {
    HttpReply reply;
    reply.content_type = std::string(found.content_type);
    reply.body = std::string(found.body);
    return reply;
}

std::optional<std::uint64_t> whole_number(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// The two query values every paged endpoint takes; the reply is the 400 for a bad one.
std::variant<std::size_t, HttpReply> page_limit(std::string_view text) {
    auto number = whole_number(text);
    if (!number || *number < 1 || *number > kMaxPageSize) {
        return error_reply(400, "limit must be a whole number from 1 to 1000");
    }
    return static_cast<std::size_t>(*number);
}

// `allow_zero` false: 0 is the end no page starts from.
std::variant<std::uint64_t, HttpReply> page_cursor(std::string_view name, std::string_view text,
                                                   bool allow_zero = true) {
    auto number = whole_number(text);
    if (!number || (!allow_zero && *number == 0)) {
        return error_reply(400, std::string(name) + " must be a cursor from a previous page");
    }
    return *number;
}

// Fills `items` with a page made by `make` from `read`: at most `limit` items (`read`
// holds one more when another page follows), and at most kMaxPageBytes of them as
// written but for the first. The cursor of the page's last item when more follow, else null.
template <class Item, class Cursor, class Make>
json::value fill_page(const std::vector<Item>& read, std::size_t limit, Cursor cursor_of, Make make,
                      json::array& items) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (i == limit) return json::value(std::to_string(cursor_of(read[limit - 1])));
        json::object item = make(read[i]);
        bytes += serialize_keeping_written(item).size() + 1;  // and its comma
        if (i > 0 && bytes > kMaxPageBytes) return json::value(std::to_string(cursor_of(read[i - 1])));
        items.push_back(std::move(item));
    }
    return nullptr;
}

json::object audit_item(const AuditEntry& entry) {
    json::value deadline = nullptr;
    if (entry.deadline_ms != 0) deadline = entry.deadline_ms;
    return json::object{{"seq", std::to_string(entry.seq)},
                        {"at", entry.at_ms},
                        {"event", audit_event_name(entry.event)},
                        {"run_id", entry.run_id},
                        {"effect_key", entry.effect_key},
                        {"approved", entry.approved},
                        {"verdict", entry.verdict},
                        {"source", entry.source},
                        {"mac_verified", entry.mac_verified},
                        {"reason", entry.reason},
                        {"deadline", deadline},
                        // What was held or released, as `latchwork-gate log` prints it; null elsewhere.
                        {"detail", detail_value(entry.detail)},
                        // The detail is the one an approver changed it to (the held entry has the submitted one).
                        {"edited", entry.edited}};
}

std::uint64_t entry_seq(const AuditEntry& entry) { return entry.seq; }

// A Prometheus label value: backslash, quote and newline escaped.
std::string label_text(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// `rules`: who may decide a rule's hold; null: the server has no rules.
json::object waiting_item(const HeldEffect& held, const EffectRules* rules, const WorkerWatch& watch) {
    json::value deadline = nullptr;
    if (held.deadline_ms != 0) deadline = held.deadline_ms;
    json::value rule = nullptr;
    json::value approvers = nullptr;  // anyone
    std::uint32_t quorum = 1;
    bool grantable = false;
    if (!held.rule.empty()) {
        rule = json::string(held.rule);
        if (rules != nullptr) {
            grantable = rules->grant_refusal(held.rule).empty();
            if (const std::span<const std::string> names = rules->approvers_of(held.rule); !names.empty()) {
                approvers = json::array(names.begin(), names.end());
            }
            quorum = std::max<std::uint32_t>(1, rules->quorum_of(held.rule));
        }
    }
    const WorkerSeen seen = watch ? watch(held.run_id, held.effect_key) : WorkerSeen{};
    json::value last_asked = nullptr;
    if (seen.last_asked) last_asked = *seen.last_asked;
    return json::object{{"run_id", held.run_id},
                        {"effect_key", held.effect_key},
                        {"held_at", held.held_at_ms},
                        {"state", held.approved ? "approved" : "held"},
                        {"detail", detail_value(held.detail)},
                        {"deadline", deadline},
                        {"rule", std::move(rule)},
                        {"approvers", std::move(approvers)},
                        {"quorum", quorum},
                        {"approvals", json::array(held.approvals.begin(), held.approvals.end())},
                        {"editable", json::array(held.editable.begin(), held.editable.end())},
                        {"edited_detail", held.edited.empty() ? json::value(nullptr) : detail_value(held.edited)},
                        {"grantable", grantable},
                        {"last_asked", std::move(last_asked)},
                        {"waiting", seen.waiting}};
}

// The verdict line of the handler ({"verdict":KIND} and a line feed) as a body.
std::string reply_body(std::string line) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

bool is_json_type(std::string_view content_type) {
    const std::string_view media = content_type.substr(0, content_type.find(';'));
    std::string lower(media.begin(), media.end());
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    while (!lower.empty() && lower.back() == ' ') lower.pop_back();
    return lower == "application/json";
}

// What a person is told of an effect decided before their click: "already rejected by
// bob: too much", from the body of the console's 409.
std::string already_decided_text(const json::object& body) {
    const std::string_view state = body.at("state").as_string();
    const json::value& by = body.at("decided_by");
    std::string who = by.is_string() ? std::string(source_for_people(by.as_string())) : std::string();
    const bool taken = !body.at("taken_by").is_null();
    if (state == "cancelled" || state == "closed") return "its run was " + std::string(state);
    std::string text;
    if (who == "expiry") {
        text = "already expired";
        who.clear();
    } else if (state == "approved" || state == "rejected") {
        text = "already " + std::string(state);
    } else if (state == "released") {
        text = taken ? "already approved" : "already released";
    } else {
        return "this effect is not waiting for a decision";
    }
    if (!who.empty()) text += " by " + who;
    if (taken) text += " and taken by its worker";
    const json::value& reason = body.at("reason");
    if (reason.is_string() && !reason.as_string().empty()) text += ": " + std::string(reason.as_string());
    return text;
}

HttpReply answered(Answer answer) {
    // Refused by the handler, before any decision: it waits for nothing and is
    // counted as a refusal.
    if (answer.wait_for == 0 && answer.verdict().kind == ReplyVerdict::Kind::error) {
        return error_reply(503, answer.verdict().message);
    }
    HttpReply reply;
    reply.decision = std::move(answer.reply);
    reply.wait_for = answer.wait_for;
    return reply;
}

}  // namespace

HttpReply error_reply(unsigned status, std::string_view text) {
    HttpReply reply;
    reply.status = status;
    reply.body = json::serialize(json::object{{"error", text}});
    return reply;
}

asio::awaitable<HttpReply> ConsoleRoutes::finish(HttpReply reply) {
    if (!reply.decision) co_return reply;
    if (reply.chat) co_return co_await chat_outcome(std::move(reply));
    const Reply& decided = *reply.decision;
    if (decided.verdict.kind == ReplyVerdict::Kind::error) {
        const unsigned status = decided.verdict.status != 0 ? decided.verdict.status
                                : decided.verdict.forbidden ? 403
                                : decided.verdict.conflict  ? 409
                                                            : 503;
        co_return error_reply(status, decided.verdict.message);
    }
    if (decided.verdict.kind == ReplyVerdict::Kind::already_decided && reply.decided_effect) {
        const auto& [run_id, effect_key] = *reply.decided_effect;
        HttpReply conflict = json_reply(
            co_await already_decided_body(store_, run_id, effect_key, decided.verdict.state), reply.wait_for);
        conflict.status = 409;
        co_return conflict;
    }
    HttpReply finished;
    finished.body = reply.revoked_grant ? json::serialize(json::object{{"revoked", *reply.revoked_grant}})
                                        : reply_body(decided.line);
    finished.wait_for = reply.wait_for;
    co_return finished;
}

asio::awaitable<HttpReply> ConsoleRoutes::route(const HttpCall& call) {
    const std::size_t question = call.target.find('?');
    const std::string_view path = call.target.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : call.target.substr(question + 1);
    const bool get = call.method == "GET" || call.method == "HEAD";

    if (path == "/healthz") {
        if (!get) co_return method_not_allowed("GET");
        // Healthy while the store takes commits; once one failed the gate answers nothing.
        if (const Failure* failed = store_.failure()) co_return error_reply(503, failed->message);
        if (std::optional<std::string> away = store_.outage()) co_return error_reply(503, *away);
        if (std::optional<std::string> slow = store_.stalled()) {
            co_return error_reply(503, "store slow: " + *slow);
        }
        co_return json_reply(json::object{{"status", "ok"}}, 0);
    }
    if (path == "/metrics") {
        if (!get) co_return method_not_allowed("GET");
        co_return co_await metrics();
    }
    if (const ConsoleAsset* found = find_console_asset(path)) {
        if (!get) co_return method_not_allowed("GET");
        co_return asset(*found);
    }
    if (path == "/api/openapi.json") {
        // Public like the page: it describes the API and holds nothing of the gate's.
        if (!get) co_return method_not_allowed("GET");
        co_return asset(openapi_document());
    }
    if (path == "/chat/actions" && chat_ != nullptr) {
        // Outside the bearer-token API: the chat platform signs its callbacks instead.
        if (call.method != "POST") co_return method_not_allowed("POST");
        HttpReply reply = co_await chat_action(call);
        if (reply.status >= 400) counters_.count_refusal("chat", reply.status);
        co_return reply;
    }
    if (path == "/api" || path.starts_with("/api/")) {
        // Without an approvers file the console is loopback-only and all may decide.
        ConsoleUser user{"console", ConsoleRole::approver};
        if (approvers_ != nullptr) {
            std::optional<ConsoleUser> found = approver_of(call.authorization);
            if (!found) {
                counters_.count_refusal("api", 401);
                co_return error_reply(401, "missing or wrong bearer token");
            }
            user = std::move(*found);
        }
        HttpReply reply = co_await api(call, path, query, user);
        if (reply.status >= 400) counters_.count_refusal("api", reply.status);
        co_return reply;
    }
    co_return error_reply(404, "no such resource");
}

asio::awaitable<HttpReply> ConsoleRoutes::api(const HttpCall& call, std::string_view path,
                                              std::string_view query, const ConsoleUser& user) {
    const bool get = call.method == "GET" || call.method == "HEAD";
    const bool post = call.method == "POST";
    const std::string& approver = user.name;
    // Checked before the body is read, so a viewer's call changes nothing whatever it holds.
    const auto may_decide = [&]() -> std::optional<HttpReply> {
        if (user.role == ConsoleRole::approver) return std::nullopt;
        return error_reply(403, "viewer " + user.name + " may not decide");
    };
    if (path == "/api/me") {
        if (!get) co_return method_not_allowed("GET");
        co_return json_reply(json::object{{"name", user.name}, {"role", console_role_name(user.role)}}, 0);
    }
    if (path == "/api/pending") {
        if (!get) co_return method_not_allowed("GET");
        co_return co_await pending(query);
    }
    if (path == "/api/events") {
        if (!get) co_return method_not_allowed("GET");
        HttpReply reply;
        reply.event_stream = true;
        co_return reply;
    }
    if (path == "/api/audit") {
        if (!get) co_return method_not_allowed("GET");
        co_return co_await audit(query);
    }
    if (path == "/api/decide") {
        if (!post) co_return method_not_allowed("POST");
        if (auto refused = may_decide()) co_return std::move(*refused);
        co_return decide(call, approver);
    }
    if (path == "/api/rules") {
        if (!get) co_return method_not_allowed("GET");
        Result<std::vector<ServerRules>> servers = co_await awaited_read<std::vector<ServerRules>>(
            [&](auto done) { store_.async_read_servers(std::move(done)); });
        if (!servers) co_return error_reply(503, servers.error());
        co_return json_reply(rules_agreement_body(rules_, servers.value()), 0);
    }
    if (path == "/api/grants") {
        if (!get) co_return method_not_allowed("GET");
        co_return co_await grants();
    }
    constexpr std::string_view kGrants = "/api/grants/";
    if (path.starts_with(kGrants) && path.ends_with("/revoke")) {
        const std::string_view id = path.substr(kGrants.size(), path.size() - kGrants.size() - 7);
        if (id.empty() || id.find('/') != std::string_view::npos) co_return error_reply(404, "no such resource");
        if (!post) co_return method_not_allowed("POST");
        if (auto refused = may_decide()) co_return std::move(*refused);
        co_return revoke_grant(std::string(id), approver);
    }
    if (path == "/api/notifications") {
        if (!get) co_return method_not_allowed("GET");
        HttpReply reply;
        reply.body = notifier_ ? notifier_->status_json() : R"({"targets":[],"dead":[]})";
        co_return reply;
    }
    constexpr std::string_view kRuns = "/api/runs/";
    if (path.starts_with(kRuns)) {
        std::string_view rest = path.substr(kRuns.size());
        const std::size_t slash = rest.find('/');
        const std::string_view encoded = rest.substr(0, slash);
        const std::string_view action =
            slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        std::optional<std::string> run_id = percent_decode(encoded, false);
        if (!run_id) co_return error_reply(400, "run id is not percent-encoded UTF-8");
        if (action.empty() && slash == std::string_view::npos) {
            if (!get) co_return method_not_allowed("GET");
            co_return co_await run(*run_id, query);
        }
        if (action == "cancel" || action == "close") {
            if (!post) co_return method_not_allowed("POST");
            if (auto refused = may_decide()) co_return std::move(*refused);
            co_return stop_run(action == "cancel" ? Operation::cancel : Operation::close_run, *run_id,
                            approver);
        }
    }
    co_return error_reply(404, "no such resource");
}

asio::awaitable<HttpReply> ConsoleRoutes::pending(std::string_view query) {
    auto pairs = parse_query(query);
    if (!pairs) co_return error_reply(400, "query is not percent-encoded UTF-8");
    std::size_t limit = kDefaultPageSize;
    std::uint64_t after = 0;
    std::string prefix;
    for (auto& [name, value] : *pairs) {
        if (name == "limit") {
            auto read = page_limit(value);
            if (auto* refused = std::get_if<HttpReply>(&read)) co_return std::move(*refused);
            limit = std::get<std::size_t>(read);
        } else if (name == "after") {
            auto read = page_cursor(name, value);
            if (auto* refused = std::get_if<HttpReply>(&read)) co_return std::move(*refused);
            after = std::get<std::uint64_t>(read);
        } else if (name == "run") {
            prefix = std::move(value);
        }
    }
    json::array items;
    json::value next = nullptr;
    Result<std::vector<HeldEffect>> held = co_await awaited_read<std::vector<HeldEffect>>(
        [&](auto done) { store_.async_read_held(limit + 1, after, prefix, std::move(done)); });
    if (!held) co_return error_reply(503, held.error());
    // The rules in force now, kept while the page is written.
    const std::shared_ptr<const EffectRules> rules = rules_ != nullptr ? rules_->current() : nullptr;
    next = fill_page(held.value(), limit, [](const HeldEffect& effect) { return effect.position; },
                     [&](const HeldEffect& effect) { return waiting_item(effect, rules.get(), worker_watch_); }, items);
    // Reflects state that may rest on changes not yet durable.
    co_return json_reply(json::object{{"items", std::move(items)}, {"next", next}},
                      store_.last_recorded());
}

asio::awaitable<HttpReply> ConsoleRoutes::run(const std::string& run_id, std::string_view query_text) {
    auto pairs = parse_query(query_text);
    if (!pairs) co_return error_reply(400, "query is not percent-encoded UTF-8");
    // Effects are listed in key order, a page at a time: after this key, when given.
    std::optional<std::string> effects_after;
    for (auto& [name, value] : *pairs) {
        if (name == "effects_after") effects_after = std::move(value);
    }
    Result<std::optional<RunState>> read = co_await awaited_read<std::optional<RunState>>(
        [&](auto done) { store_.async_read_run(run_id, std::move(done)); });
    if (!read) co_return error_reply(503, read.error());
    if (!read.value()) co_return error_reply(404, "no such run");
    const RunState& found = *read.value();
    // The details are kept with the waiting effects only: read them from there.
    std::map<std::string, json::value, std::less<>> details;
    const bool any_waiting = std::any_of(found.effects.begin(), found.effects.end(),
                                         [](const auto& effect) { return is_waiting(effect.second); });
    for (std::uint64_t after = 0; any_waiting;) {
        Result<std::vector<HeldEffect>> page = co_await awaited_read<std::vector<HeldEffect>>(
            [&](auto done) { store_.async_read_held(kMaxPageSize, after, run_id, std::move(done)); });
        if (!page) co_return error_reply(503, page.error());
        for (const HeldEffect& held : page.value()) {
            if (held.run_id == run_id) details[held.effect_key] = detail_value(held.detail);
        }
        if (page.value().size() < kMaxPageSize) break;
        after = page.value().back().position;
    }
    json::array listed;
    json::value effects_next = nullptr;
    std::size_t bytes = 0;
    for (const auto& [key, state] : found.effects) {
        if (effects_after && key <= *effects_after) continue;
        json::object effect{{"effect_key", key}, {"state", effect_state_text(state)}};
        if (is_waiting(state)) {
            const auto detail = details.find(key);
            effect["detail"] = detail == details.end() ? json::value(nullptr) : detail->second;
        }
        // A page as fill_page() makes one: at most kMaxPageSize items and kMaxPageBytes.
        bytes += serialize_keeping_written(effect).size() + 1;
        if (!listed.empty() && (listed.size() == kMaxPageSize || bytes > kMaxPageBytes)) {
            effects_next = listed.back().as_object().at("effect_key");
            break;
        }
        listed.push_back(std::move(effect));
    }
    AuditQuery query;
    query.run = run_id;
    query.limit = kMaxPageSize + 1;
    Result<std::vector<AuditEntry>> entries = co_await awaited_read<std::vector<AuditEntry>>(
        [&](auto done) { store_.async_read_audit(query, std::move(done)); });
    if (!entries) co_return error_reply(503, entries.error());
    json::array history;
    const json::value more =
        fill_page(entries.value(), kMaxPageSize, entry_seq, audit_item, history);
    json::object reply{{"run_id", run_id},
                       {"cancelled", found.cancelled},
                       {"closed", found.closed},
                       {"effects", std::move(listed)},
                       {"history", std::move(history)},
                       {"history_next", more}};
    // Only when more follow: a run's reply was complete before runs were paged.
    if (!effects_next.is_null()) reply["effects_next"] = std::move(effects_next);
    co_return json_reply(reply, store_.last_recorded());
}

asio::awaitable<HttpReply> ConsoleRoutes::audit(std::string_view query_text) {
    auto pairs = parse_query(query_text);
    if (!pairs) co_return error_reply(400, "query is not percent-encoded UTF-8");
    AuditQuery query;
    std::size_t limit = kDefaultPageSize;
    for (auto& [name, value] : *pairs) {
        if (name == "limit") {
            auto read = page_limit(value);
            if (auto* refused = std::get_if<HttpReply>(&read)) co_return std::move(*refused);
            limit = std::get<std::size_t>(read);
        } else if (name == "after") {
            auto read = page_cursor(name, value);
            if (auto* refused = std::get_if<HttpReply>(&read)) co_return std::move(*refused);
            query.after = std::get<std::uint64_t>(read);
        } else if (name == "before") {
            auto read = page_cursor(name, value, false);
            if (auto* refused = std::get_if<HttpReply>(&read)) co_return std::move(*refused);
            query.before = std::get<std::uint64_t>(read);
            query.newest_first = true;
        } else if (name == "order") {
            if (value != "oldest" && value != "newest") {
                co_return error_reply(400, "order must be oldest or newest");
            }
            query.newest_first = query.newest_first || value == "newest";
        } else if (name == "run") {
            query.run = std::move(value);
        }
    }
    if (query.newest_first && query.after != 0) {
        co_return error_reply(400, "after pages oldest first; newest first pages with before");
    }
    query.limit = limit + 1;  // one more tells whether another page follows
    Result<std::vector<AuditEntry>> entries = co_await awaited_read<std::vector<AuditEntry>>(
        [&](auto done) { store_.async_read_audit(query, std::move(done)); });
    if (!entries) co_return error_reply(503, entries.error());
    json::array items;
    const json::value next =
        fill_page(entries.value(), limit, entry_seq, audit_item, items);
    // Only committed entries are read: nothing here waits for a batch.
    co_return json_reply(json::object{{"items", std::move(items)}, {"next", next}}, 0);
}

HttpReply ConsoleRoutes::decide(const HttpCall& call, const std::string& approver) {
    if (!is_json_type(call.content_type)) {
        return error_reply(415, "content type must be application/json");
    }
    boost::system::error_code error;
    json::value body = json::parse(call.body, error);
    if (error || !body.is_object()) return error_reply(400, "body must be a JSON object");
    const json::object& members = body.as_object();
    auto text = [&](std::string_view name) -> const json::string* {
        const json::value* value = members.if_contains(name);
        return value != nullptr ? value->if_string() : nullptr;
    };
    const json::string* run_id = text("run_id");
    if (run_id == nullptr) return error_reply(400, "\"run_id\" must be a string");
    const json::string* effect_key = text("effect_key");
    if (effect_key == nullptr) return error_reply(400, "\"effect_key\" must be a string");
    const json::value* approved = members.if_contains("approved");
    if (approved == nullptr || !approved->is_bool()) {
        return error_reply(400, "\"approved\" must be true or false");
    }
    std::string_view reason;
    if (const json::value* given = members.if_contains("reason"); given && !given->is_null()) {
        if (!given->is_string()) return error_reply(400, "\"reason\" must be a string");
        reason = given->get_string();
    }
    Request request;
    request.op = Operation::decide;
    request.run_id = std::string(*run_id);
    request.effect_key = std::string(*effect_key);
    request.flag = approved->get_bool();
    if (const json::value* detail = members.if_contains("detail"); detail && !detail->is_null()) {
        // A rejection is of the effect, whatever it would have become: a detail with one
        // is refused rather than silently dropped.
        if (!request.flag) return error_reply(400, "\"detail\" goes with an approval only");
        if (!detail->is_object()) return error_reply(400, "\"detail\" must be the whole detail, an object");
        Result<std::string> canonical =
            canonical_detail(written_form(*detail), handler_.request_limits().max_detail_bytes);
        if (!canonical) return error_reply(422, canonical.error());
        request.detail = std::move(canonical).value();
    }
    if (const json::value* remember = members.if_contains("remember"); remember && !remember->is_null()) {
        std::variant<GrantAsk, HttpReply> read = grant_ask(*remember, request.flag);
        if (auto* refused = std::get_if<HttpReply>(&read)) return std::move(*refused);
        request.remember = std::move(std::get<GrantAsk>(read));
    }
    HttpReply reply = answered(handler_.handle_verified(
        request, DecisionSource{DecisionSource::Door::console, approver, false, reason}));
    reply.decided_effect.emplace(request.run_id, request.effect_key);
    return reply;
}

asio::awaitable<HttpReply> ConsoleRoutes::chat_action(const HttpCall& call) {
    if (!chat_->verified(call.chat_signature, call.chat_timestamp, call.body, unix_time_ms() / 1000)) {
        co_return error_reply(401, "the chat signature is missing, wrong or stale");
    }
    Result<ChatClick> read = chat_->read_click(call.body);
    if (!read) co_return error_reply(400, read.error());
    ChatClick& click = read.value();
    const auto executor = co_await asio::this_coro::executor;
    HttpReply received;
    received.content_type = "text/plain; charset=utf-8";
    // A chat user no approver is, or a viewer's: told so, and nothing changes.
    const std::optional<ConsoleUser> user =
        approvers_ != nullptr ? approvers_->find_chat_user(click.user) : std::nullopt;
    if (!user || user->role != ConsoleRole::approver) {
        chat_->respond(executor, std::move(click.respond_to), chat_ephemeral("you may not decide this effect"));
        co_return received;
    }
    Request request;
    request.op = Operation::decide;
    request.run_id = std::move(click.run_id);
    request.effect_key = std::move(click.effect_key);
    request.flag = click.approve;
    if (request.flag) chat_->approving(request.run_id, request.effect_key, click.respond_to, user->name);
    HttpReply reply = answered(
        handler_.handle_verified(request, DecisionSource{DecisionSource::Door::chat, user->name, false, {}}));
    if (!reply.decision) {
        chat_->forget(request.run_id, request.effect_key, user->name);
        // Refused before any decision (the store is away): the person hears why.
        const json::value body = json::parse(reply.body);
        chat_->respond(executor, std::move(click.respond_to),
                       chat_ephemeral("not decided: " + std::string(body.at("error").as_string())));
        co_return received;
    }
    reply.chat = ChatAnswer{std::move(click.respond_to), user->name, std::move(request.run_id),
                            std::move(request.effect_key)};
    co_return reply;
}

asio::awaitable<HttpReply> ConsoleRoutes::chat_outcome(HttpReply reply) {
    const Reply& decided = *reply.decision;
    ChatAnswer& chat = *reply.chat;
    std::string message;
    const auto replace = [&](const std::string& outcome) {
        message = chat_replacement(outcome, chat.run_id, chat.effect_key);
    };
    switch (decided.verdict.kind) {
        case ReplyVerdict::Kind::approved:
            replace(chat_->approved_outcome(chat.run_id, chat.effect_key, chat.approver));
            break;
        case ReplyVerdict::Kind::approval_recorded: {
            // {"verdict":"approval_recorded","approvals":[...],"quorum":N}
            const json::object line = json::parse(decided.line).as_object();
            const json::array& approvals = line.at("approvals").as_array();
            std::string names;
            for (const json::value& name : approvals) {
                names += (names.empty() ? "" : ", ") + std::string(name.as_string());
            }
            const auto quorum = line.at("quorum").to_number<std::uint64_t>();
            replace(std::to_string(approvals.size()) + " of " + std::to_string(quorum) + " approvals: " + names);
            break;
        }
        case ReplyVerdict::Kind::already_decided: {
            const json::object body =
                co_await already_decided_body(store_, chat.run_id, chat.effect_key, decided.verdict.state);
            message = chat_ephemeral(already_decided_text(body));
            break;
        }
        case ReplyVerdict::Kind::error:
            message = chat_ephemeral(decided.verdict.forbidden  ? std::string("you may not decide this effect")
                                     : decided.verdict.conflict ? decided.verdict.message
                                                                : "not decided: " + decided.verdict.message);
            break;
        default:
            if (decided.verdict.is(VerdictKind::refused_rejected)) {
                replace("Rejected by " + chat.approver);
            } else {
                message = chat_ephemeral("not decided: " + std::string(verdict_text(decided.verdict)));
            }
    }
    if (decided.verdict.kind != ReplyVerdict::Kind::approved) {
        chat_->forget(chat.run_id, chat.effect_key, chat.approver);
    }
    chat_->respond(co_await asio::this_coro::executor, std::move(chat.respond_to), std::move(message));
    HttpReply received;
    received.content_type = "text/plain; charset=utf-8";
    co_return received;
}

// The grant an approval asks to remember, or the 400 that refuses it.
std::variant<GrantAsk, HttpReply> ConsoleRoutes::grant_ask(const json::value& remember, bool approved) const {
    if (!approved) return error_reply(400, "\"remember\" goes with an approval only");
    const json::object* members = remember.if_object();
    if (members == nullptr) return error_reply(400, "\"remember\" must be an object");
    for (const auto& [key, value] : *members) {
        if (key != "effect" && key != "run" && key != "for" && key != "detail") {
            return error_reply(400, "\"remember\" has the unknown member \"" + std::string(key) +
                                        "\" (effect, run, for, detail)");
        }
    }
    GrantAsk ask;
    const json::value* effect = members->if_contains("effect");
    if (effect == nullptr || !effect->is_string() || effect->get_string().empty()) {
        return error_reply(400, "\"remember.effect\" must be a glob of effect keys");
    }
    ask.effect = std::string(effect->get_string());
    if (const json::value* run = members->if_contains("run"); run != nullptr) {
        if (!run->is_string() || (run->get_string() != "this" && run->get_string() != "any")) {
            return error_reply(400, "\"remember.run\" must be \"this\" or \"any\"");
        }
        ask.this_run = run->get_string() == "this";
    }
    const json::value* lasting = members->if_contains("for");
    if (lasting == nullptr || !lasting->is_string()) {
        return error_reply(400, "\"remember.for\" must be a duration (30m, 8h, 1d)");
    }
    Result<std::chrono::milliseconds> parsed =
        parse_duration(std::string_view(lasting->get_string()), DurationUnits::with_days);
    if (!parsed) return error_reply(400, "\"remember.for\": " + parsed.error());
    ask.for_ms = std::min<std::int64_t>(parsed.value().count(), max_grant_ms_);
    ask.detail = "{}";
    if (const json::value* detail = members->if_contains("detail"); detail != nullptr && !detail->is_null()) {
        if (!detail->is_object()) return error_reply(400, "\"remember.detail\" must be an object of conditions");
        ask.detail = json::serialize(*detail);
        const std::shared_ptr<const EffectRules> rules = rules_ != nullptr ? rules_->current() : nullptr;
        if (rules != nullptr) {
            if (std::string fault = rules->grant_conditions_fault(ask.detail); !fault.empty()) {
                return error_reply(400, "\"remember.detail\": " + fault);
            }
        }
    }
    return ask;
}

asio::awaitable<HttpReply> ConsoleRoutes::grants() {
    Result<std::vector<Grant>> live = co_await awaited_read<std::vector<Grant>>(
        [&](auto done) { store_.async_read_grants(unix_time_ms(), std::move(done)); });
    if (!live) co_return error_reply(503, live.error());
    json::array items;
    for (const Grant& grant : live.value()) items.push_back(grant_json(grant));
    co_return json_reply(json::object{{"grants", std::move(items)}}, 0);
}

HttpReply ConsoleRoutes::revoke_grant(const std::string& id, const std::string& approver) {
    Request request;
    request.op = Operation::revoke_grant;
    request.grant_id = id;
    HttpReply reply = answered(handler_.handle_verified(
        request, DecisionSource{DecisionSource::Door::console, approver, false, {}}));
    reply.revoked_grant = id;
    return reply;
}

HttpReply ConsoleRoutes::stop_run(Operation op, const std::string& run_id,
                                  const std::string& approver) {
    Request request;
    request.op = op;
    request.run_id = run_id;
    return answered(handler_.handle_verified(
        request, DecisionSource{DecisionSource::Door::console, approver, false, {}}));
}

asio::awaitable<HttpReply> ConsoleRoutes::metrics() {
    std::string text;
    text += "# HELP latchwork_requests_total Requests decided, from either door, by operation and verdict.\n";
    text += "# TYPE latchwork_requests_total counter\n";
    for (const auto& [key, count] : counters_.requests()) {
        text += "latchwork_requests_total{op=\"" + key.first + "\",verdict=\"" + key.second +
                "\"} " + std::to_string(count) + "\n";
    }
    text += "# HELP latchwork_console_refusals_total Console calls refused before any decision, by status.\n";
    text += "# TYPE latchwork_console_refusals_total counter\n";
    for (const auto& [key, count] : counters_.refusals()) {
        text += "latchwork_console_refusals_total{route=\"" + key.first + "\",status=\"" +
                std::to_string(key.second) + "\"} " + std::to_string(count) + "\n";
    }
    text += "# HELP latchwork_pending_effects Effects held for a decision.\n";
    text += "# TYPE latchwork_pending_effects gauge\n";
    // A store that cannot be read leaves the gauge out. One known to be away or slow
    // is not asked: /metrics answers whatever its database does.
    if (!store_.failure() && !store_.outage() && !store_.stalled()) {
        Result<std::uint64_t> counted = co_await awaited_read<std::uint64_t>(
            [&](auto done) { store_.async_read_pending_count(std::move(done)); });
        if (counted) text += "latchwork_pending_effects " + std::to_string(counted.value()) + "\n";
    }
    text += histogram_text("latchwork_commit_seconds",
                           "Time each store commit took, from its start to the synced log.",
                           store_.commit_latency());
    text += "# HELP latchwork_open_connections Connections open now, by door.\n";
    text += "# TYPE latchwork_open_connections gauge\n";
    text += connection_gauges_();
    text += "# HELP latchwork_hello_failures_total Line-port hellos refused: an unknown client or a "
            "wrong token.\n";
    text += "# TYPE latchwork_hello_failures_total counter\n";
    text += "latchwork_hello_failures_total " + std::to_string(hello_failures_()) + "\n";
    if (rules_ != nullptr) {
        text += "# HELP latchwork_rule_matches_total New effects each rule matched, by its action"
                " (counted in shadow mode too).\n";
        text += "# TYPE latchwork_rule_matches_total counter\n";
        for (const auto& [key, count] : rules_->matches()) {
            text += "latchwork_rule_matches_total{rule=\"" + label_text(key.first) + "\",action=\"" +
                    std::string(rule_outcome_name(key.second)) + "\"} " + std::to_string(count) + "\n";
        }
    }
    if (notifier_) text += notifier_->metrics_text();
    HttpReply reply;
    reply.content_type = "text/plain; version=0.0.4; charset=utf-8";
    reply.body = std::move(text);
    co_return reply;
}

}  // namespace latchwork::server
