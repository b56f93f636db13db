// pg_change_notice.cpp: a wake-up one server sends the others of its database, and the committed entries it points to, read as changes.
#include "server/store/postgres/pg_change_notice.h"

#include <boost/json.hpp>

namespace latchwork::server {
namespace json = boost::json;

std::optional<ChangeNotice> read_notice(std::string_view payload) {
    boost::system::error_code error;
    const json::value parsed = json::parse(payload, error);
    if (error || !parsed.is_object()) return std::nullopt;
    const json::object& object = parsed.get_object();
    const json::value* server = object.if_contains("server");
    const json::value* xact = object.if_contains("xact");
    if (server == nullptr || !server->is_string() || server->get_string().empty()) return std::nullopt;
    if (xact == nullptr || !xact->is_int64() || xact->get_int64() <= 0) return std::nullopt;
    return ChangeNotice{std::string(server->get_string()), xact->get_int64()};
}

std::optional<HeardChange> heard_change(const AuditEntry& entry) {
    HeardChange heard;
    heard.request.run_id = entry.run_id;
    heard.request.effect_key = entry.effect_key;
    heard.source = source_from_text(entry.source);
    heard.source.reason = entry.reason;
    heard.change = effect_state_change(entry.run_id, entry.effect_key, EffectState::pending);
    switch (entry.event) {
        case AuditEvent::held:
            heard.request.op = Operation::submit;
            heard.request.flag = true;
            return heard;
        case AuditEvent::taken:
            heard.request.op = Operation::submit;
            heard.change.state = EffectState::released;
            return heard;
        case AuditEvent::expired:
            heard.request.op = Operation::decide;
            heard.change.state = EffectState::rejected;
            return heard;
        case AuditEvent::decided:
            heard.request.op = Operation::decide;
            heard.request.flag = entry.approved;
            if (entry.verdict == "release") {
                heard.change.state = EffectState::released;
            } else if (entry.verdict == "approved") {
                heard.change.state = EffectState::approved;
            } else if (entry.verdict == "refused_rejected" && !entry.approved) {
                heard.change.state = EffectState::rejected;
            } else {
                return std::nullopt;
            }
            return heard;
        case AuditEvent::released:
            return std::nullopt;  // a plain release: nobody waits on it
        case AuditEvent::would:
            return std::nullopt;  // shadow rules: what a rule would have done changed nothing
        case AuditEvent::approval_recorded:
            return std::nullopt;  // still pending: nobody's wait ends
        case AuditEvent::granted:
        case AuditEvent::revoked:
        case AuditEvent::completed:  // a result recorded: nobody waits on it
            return std::nullopt;
        case AuditEvent::cancelled:
            heard.request.op = Operation::cancel;
            heard.change = run_cancelled_change(entry.run_id);
            return heard;
        case AuditEvent::closed:
            heard.request.op = Operation::close_run;
            heard.change = run_closed_change(entry.run_id);
            return heard;
    }
    return std::nullopt;
}

DecisionSource source_from_text(std::string_view text) {
    DecisionSource source;
    const std::size_t colon = text.find(':');
    const std::string_view door = text.substr(0, colon);
    const std::string_view who = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (door == "console") {
        source.door = DecisionSource::Door::console;
    } else if (door == "chat") {
        source.door = DecisionSource::Door::chat;
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
