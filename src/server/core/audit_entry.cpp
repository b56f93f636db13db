// audit_entry.cpp: building audit entries from decided requests, and printing them.
#include "server/core/audit_entry.h"

#include <chrono>
#include <cstdio>

#include "server/core/detail_edit.h"

namespace latchwork::server {
std::string decision_source_text(const DecisionSource& source) {
    switch (source.door) {
        case DecisionSource::Door::line: return "line:" + std::string(source.who);
        case DecisionSource::Door::console: return "console:" + std::string(source.who);
        case DecisionSource::Door::expiry: return "expiry";
        case DecisionSource::Door::client: return "client:" + std::string(source.who);
        case DecisionSource::Door::chat: return "chat:" + std::string(source.who);
    }
    return "";
}

namespace {

// The change a submit made to its effect, if it made one.
const StateChange* effect_change(std::span<const StateChange> changes) {
    for (const StateChange& change : changes) {
        if (change.kind == StateChange::Kind::effect_state) return &change;
    }
    return nullptr;
}

}  // namespace

std::optional<AuditEntry> audit_entry_for(const Request& request, std::string_view verdict,
                                          std::span<const StateChange> changes,
                                          const DecisionSource& source, std::int64_t now_ms,
                                          std::int64_t deadline_ms, bool took_approved) {
    AuditEntry entry;
    entry.at_ms = now_ms;
    entry.run_id = request.run_id;
    entry.source = decision_source_text(source);
    switch (request.op) {
        case Operation::submit: {
            // A submit is logged when it held its effect, or took an approved one, or
            // released one to a client that named itself: what a named client performed
            // is on record even where no person was asked.
            const StateChange* change = effect_change(changes);
            if (change == nullptr) return std::nullopt;
            if (change->state == EffectState::pending) {
                entry.event = AuditEvent::held;
                entry.deadline_ms = deadline_ms;
                entry.detail = change->detail;
                entry.editable = editable_text(change->editable);
            } else if (change->state == EffectState::released && took_approved) {
                entry.event = AuditEvent::taken;
            } else if (change->state == EffectState::released && source.door == DecisionSource::Door::client) {
                entry.event = AuditEvent::released;
                entry.detail = request.detail.value_or(std::string());
            } else {
                return std::nullopt;
            }
            entry.effect_key = request.effect_key;
            entry.verdict = std::string(verdict);
            return entry;
        }
        case Operation::decide:
            entry.event = source.door == DecisionSource::Door::expiry ? AuditEvent::expired
                                                                      : AuditEvent::decided;
            entry.effect_key = request.effect_key;
            entry.approved = request.flag;
            entry.verdict = std::string(verdict);
            entry.mac_verified = (source.door == DecisionSource::Door::line ||
                                  source.door == DecisionSource::Door::client) &&
                                 source.mac_verified;
            if (person_door(source.door)) entry.reason = std::string(source.reason);
            return entry;
        case Operation::cancel:
        case Operation::close_run:
            if (changes.empty()) return std::nullopt;
            entry.event = request.op == Operation::cancel ? AuditEvent::cancelled : AuditEvent::closed;
            entry.verdict = std::string(verdict);
            return entry;
        default:
            return std::nullopt;
    }
}

std::string_view audit_event_name(AuditEvent event) {
    switch (event) {
        case AuditEvent::held: return "held";
        case AuditEvent::decided: return "decided";
        case AuditEvent::expired: return "expired";
        case AuditEvent::cancelled: return "cancelled";
        case AuditEvent::closed: return "closed";
        case AuditEvent::taken: return "taken";
        case AuditEvent::released: return "released";
        case AuditEvent::would: return "would";
        case AuditEvent::approval_recorded: return "approval_recorded";
        case AuditEvent::granted: return "granted";
        case AuditEvent::revoked: return "revoked";
        case AuditEvent::completed: return "completed";
    }
    return "unknown";
}

std::optional<AuditEvent> audit_event_from_name(std::string_view name) {
    for (AuditEvent event : {AuditEvent::held, AuditEvent::decided, AuditEvent::expired,
                             AuditEvent::cancelled, AuditEvent::closed, AuditEvent::taken,
                             AuditEvent::released, AuditEvent::would, AuditEvent::approval_recorded,
                             AuditEvent::granted, AuditEvent::revoked, AuditEvent::completed}) {
        if (audit_event_name(event) == name) return event;
    }
    return std::nullopt;
}

std::int64_t unix_time_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string utc_time_text(std::int64_t unix_ms) {
    using namespace std::chrono;
    const sys_time<milliseconds> at{milliseconds(unix_ms)};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{at - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count()));
    return text;
}

std::string quoted_text(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;  // bytes of UTF-8 sequences pass as they are
        }
    }
    out += '"';
    return out;
}

std::string audit_line(const AuditEntry& entry) {
    std::string line = utc_time_text(entry.at_ms);
    line += ' ';
    line += audit_event_name(entry.event);
    line += " run=" + quoted_text(entry.run_id);
    if (entry.event != AuditEvent::cancelled && entry.event != AuditEvent::closed) {
        line += " effect=" + quoted_text(entry.effect_key);
    }
    if (entry.event == AuditEvent::decided || entry.event == AuditEvent::expired) {
        line += entry.approved ? " approved=true" : " approved=false";
        line += " verdict=" + entry.verdict;
    }
    if (entry.event == AuditEvent::would) line += " verdict=" + entry.verdict;
    line += " source=" + quoted_text(entry.source);
    // Only a decision carries a mac; saying "none" of a hold would suggest one was missing.
    if (entry.event == AuditEvent::decided &&
        (entry.source.starts_with("line:") || entry.source.starts_with("client:"))) {
        line += entry.mac_verified ? " mac=verified" : " mac=none";
    }
    if (entry.event == AuditEvent::held && entry.deadline_ms != 0) {
        line += " deadline=" + utc_time_text(entry.deadline_ms);
    }
    if ((entry.event == AuditEvent::held || entry.event == AuditEvent::released ||
         entry.event == AuditEvent::would || entry.event == AuditEvent::completed) &&
        !entry.detail.empty()) {
        line += " detail=" + quoted_text(entry.detail);
    }
    // What of it an approver may change, and the detail as one changed it.
    if (entry.event == AuditEvent::held && !entry.editable.empty()) line += " editable=" + quoted_text(entry.editable);
    if (entry.edited) line += " edited=" + quoted_text(entry.detail);
    if (entry.event == AuditEvent::decided || entry.event == AuditEvent::approval_recorded) {
        line += " reason=" + quoted_text(entry.reason);
    }
    return line;
}

}  // namespace latchwork::server
