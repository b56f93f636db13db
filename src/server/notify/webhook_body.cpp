// webhook_body.cpp: the signed JSON body a receiver is sent for one audit entry.
#include "server/notify/webhook_body.h"

#include <boost/json.hpp>

#include <cstdio>

#include "server/core/written_json.h"

namespace latchwork::server {
namespace json = boost::json;

namespace {

json::value time_or_null(std::int64_t unix_ms) {
    if (unix_ms == 0) return nullptr;
    return json::string(utc_time_text(unix_ms));
}

json::value text_or_null(std::string_view text) {
    if (text.empty()) return nullptr;
    return json::string(text);
}

// The detail is kept in its written form (numbers as the submitter wrote them) and sent
// so; a text that does not read (never written by this server) is sent as a string
// rather than dropped.
json::value detail_value(std::string_view detail) {
    if (detail.empty()) return nullptr;
    boost::system::error_code error;
    (void)json::parse(detail, error);
    if (error) return json::string(detail);
    return written_json(detail);
}

}  // namespace

std::string clipped_text(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    std::size_t end = max_bytes;
    // Back off continuation bytes (10xxxxxx) so the cut falls between characters.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end)) + "…";
}

std::string webhook_body(const AuditEntry& entry, WebhookEvent event, std::string_view console_url) {
    const bool decision = entry.event == AuditEvent::decided || entry.event == AuditEvent::expired;
    json::object data{
        {"event", webhook_event_name(event)},
        {"run_id", entry.run_id},
        {"effect_key", text_or_null(entry.effect_key)},
        {"detail", detail_value(entry.detail)},
        {"deadline", time_or_null(entry.deadline_ms)},
        {"source", entry.source},
        {"decided_by", decision ? json::value(json::string(entry.source)) : json::value(nullptr)},
        {"reason", text_or_null(entry.reason)},
        {"at", utc_time_text(entry.at_ms)},
        {"seq", entry.seq},
        {"link", text_or_null(console_link(console_url, entry.run_id, entry.effect_key))},
    };
    if (entry.event == AuditEvent::completed) {  // the detail is what performing the effect produced
        data["result"] = detail_value(entry.detail);
        data["detail"] = nullptr;
    }
    const json::object body{
        {"type", webhook_event_name(event)},
        {"timestamp", utc_time_text(entry.at_ms)},
        {"data", std::move(data)},
    };
    return serialize_keeping_written(body);
}

}  // namespace latchwork::server
