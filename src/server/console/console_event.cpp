// console_event.cpp: the audit entries an approver's event stream reports, in their wire form.
#include "server/console/console_event.h"

#include <boost/json/serialize.hpp>

#include "server/console/detail_value.h"
#include "server/core/decider_name.h"
#include "server/core/written_json.h"

namespace latchwork::server {
namespace json = boost::json;

std::string console_event_text(std::string_view name, const json::object& data, std::uint64_t id) {
    std::string text;
    if (id != 0) {
        text = "id: ";
        text += std::to_string(id);
        text += '\n';
    }
    text += "event: ";
    text += name;
    text += "\ndata: ";
    text += serialize_keeping_written(data);  // one line: neither writes a raw line feed
    text += "\n\n";
    return text;
}

std::optional<std::string> console_event_of(const AuditEntry& entry) {
    json::object data;
    data["run_id"] = entry.run_id;
    std::string_view name;
    switch (entry.event) {
        case AuditEvent::held:
            name = "held";
            data["effect_key"] = entry.effect_key;
            data["held_at"] = entry.at_ms;
            if (entry.deadline_ms != 0) data["deadline"] = entry.deadline_ms;
            data["detail"] = detail_value(entry.detail);
            // What of the detail an approver may change: the page offers those members.
            if (!entry.editable.empty()) data["editable"] = detail_value(entry.editable);
            // Held by a rule: who may decide it and its quorum are read from /api/pending.
            if (entry.reason.starts_with("rule:")) data["rule"] = entry.reason.substr(5);
            break;
        case AuditEvent::decided:
            data["effect_key"] = entry.effect_key;
            if (entry.verdict == "approved") {
                // A person approved it for its submitter, who has yet to take it.
                name = "approved";
                data["approver"] = approver_name(entry.source);
                data["reason"] = entry.reason;
                data["at"] = entry.at_ms;
                break;
            }
            // A release or a rejection ends the wait; other verdicts changed nothing.
            if (entry.verdict != "release" && entry.verdict != "refused_rejected") return std::nullopt;
            name = "decided";
            data["approved"] = entry.verdict == "release";
            data["verdict"] = entry.verdict;
            data["approver"] = approver_name(entry.source);
            data["reason"] = entry.reason;
            data["at"] = entry.at_ms;
            break;
        case AuditEvent::expired:
            name = "expired";
            data["effect_key"] = entry.effect_key;
            data["verdict"] = entry.verdict;
            data["at"] = entry.at_ms;
            break;
        case AuditEvent::taken:
            name = "taken";
            data["effect_key"] = entry.effect_key;
            data["at"] = entry.at_ms;
            break;
        case AuditEvent::completed:
            name = "completed";
            data["effect_key"] = entry.effect_key;
            data["result"] = detail_value(entry.detail);
            data["at"] = entry.at_ms;
            break;
        case AuditEvent::approval_recorded:
            // Still held: the pages show who approved it so far.
            name = "approval";
            data["effect_key"] = entry.effect_key;
            data["approver"] = approver_name(entry.source);
            data["at"] = entry.at_ms;
            break;
        case AuditEvent::released:
        case AuditEvent::would:
        case AuditEvent::granted:
        case AuditEvent::revoked:
            return std::nullopt;  // nothing waits on it; the audit log has it
        case AuditEvent::cancelled:
        case AuditEvent::closed:
            name = entry.event == AuditEvent::cancelled ? "cancelled" : "closed";
            data["at"] = entry.at_ms;
            break;
    }
    return console_event_text(name, data, entry.seq);
}

std::string resync_event_text() {
    return console_event_text("resync", json::object{{"at", unix_time_ms()}});
}

}  // namespace latchwork::server
