// pg_change_notice.cpp: one committed change, as a server tells the others that share its database.
#include "server/store/postgres/pg_change_notice.h"

#include <boost/json.hpp>

#include <array>

#include "server/core/audit_entry.h"
#include "server/core/effect_state_text.h"

namespace latchwork::server {
namespace json = boost::json;
namespace {

using Kind = StateChange::Kind;

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::optional<std::string> unhex(std::string_view text) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    if (text.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

constexpr std::array kKinds = {std::pair{Kind::effect_state, "effect_state"},
                               std::pair{Kind::run_cancelled, "run_cancelled"},
                               std::pair{Kind::run_closed, "run_closed"}};
constexpr std::array kOps = {Operation::submit, Operation::decide, Operation::cancel,
                             Operation::close_run};

template <class Table, class Value>
const char* name_in(const Table& table, Value value) {
    for (const auto& [known, name] : table) {
        if (known == value) return name;
    }
    return "";
}

template <class Table>
auto value_in(const Table& table, std::string_view name) -> std::optional<decltype(table[0].first)> {
    for (const auto& [known, known_name] : table) {
        if (name == known_name) return known;
    }
    return std::nullopt;
}

std::string_view string_at(const json::object& object, std::string_view key) {
    const json::value* value = object.if_contains(key);
    if (value == nullptr || !value->is_string()) return {};
    const json::string& text = value->get_string();
    return {text.data(), text.size()};
}

std::int64_t integer_at(const json::object& object, std::string_view key) {
    const json::value* value = object.if_contains(key);
    if (value == nullptr || !value->is_int64()) return 0;
    return value->get_int64();
}

}  // namespace

std::string notice_payload(std::string_view server, const NoticeContext& context,
                           const StateChange& change) {
    json::object payload;
    payload["server"] = server;
    payload["kind"] = name_in(kKinds, change.kind);
    payload["op"] = operation_name(context.op);
    payload["verdict"] = context.verdict;
    payload["run"] = hex(change.run_id);
    payload["effect"] = hex(change.effect_key);
    if (change.kind == Kind::effect_state) payload["state"] = effect_state_text(change.state);
    // As the audit log names a source; source_from_text() reads it back.
    payload["source"] = decision_source_text(context.source);
    payload["reason"] = hex(context.source.reason);
    payload["at"] = context.at_ms;
    payload["deadline"] = context.deadline_ms;
    std::string text = json::serialize(payload);
    if (text.size() <= kMostNoticeBytes) return text;
    json::object changed;
    changed["server"] = server;
    changed["kind"] = "changed";
    return json::serialize(changed);
}

std::optional<ChangeNotice> read_notice(std::string_view payload) {
    boost::system::error_code error;
    const json::value parsed = json::parse(payload, error);
    if (error || !parsed.is_object()) return std::nullopt;
    const json::object& object = parsed.get_object();
    ChangeNotice notice;
    notice.server = string_at(object, "server");
    if (notice.server.empty()) return std::nullopt;
    const std::string_view kind = string_at(object, "kind");
    if (kind == "changed") return notice;
    const std::optional<Kind> change_kind = value_in(kKinds, kind);
    std::optional<std::string> run = unhex(string_at(object, "run"));
    std::optional<std::string> effect = unhex(string_at(object, "effect"));
    std::optional<std::string> reason = unhex(string_at(object, "reason"));
    if (!change_kind || !run || !effect || !reason) return std::nullopt;
    const std::string_view op = string_at(object, "op");
    for (const Operation known : kOps) {
        if (operation_name(known) == op) notice.op = known;
    }
    if (notice.op == Operation::ping) return std::nullopt;
    notice.change.kind = *change_kind;
    notice.change.run_id = std::move(*run);
    notice.change.effect_key = std::move(*effect);
    if (*change_kind == Kind::effect_state) {
        const std::optional<EffectState> state = effect_state_from_text(string_at(object, "state"));
        if (!state) return std::nullopt;
        notice.change.state = *state;
    }
    notice.complete = true;
    notice.verdict = string_at(object, "verdict");
    notice.source = string_at(object, "source");
    notice.reason = std::move(*reason);
    notice.at_ms = integer_at(object, "at");
    notice.deadline_ms = integer_at(object, "deadline");
    return notice;
}

DecisionSource source_from_text(std::string_view text) {
    DecisionSource source;
    const std::size_t colon = text.find(':');
    const std::string_view door = text.substr(0, colon);
    const std::string_view who = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (door == "console") {
        source.door = DecisionSource::Door::console;
    } else if (door == "expiry") {
        source.door = DecisionSource::Door::expiry;
    } else if (door == "client") {
        source.door = DecisionSource::Door::client;
    } else {
        source.door = DecisionSource::Door::line;
    }
    source.who = who;
    return source;
}

}  // namespace latchwork::server
