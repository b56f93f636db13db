// reply_writer.cpp: the reply lines the server sends, compact JSON with sorted members.
#include "server/core/reply_writer.h"

#include "wire/json_string.h"

namespace latchwork::server {
namespace {

// {"NAME":TEXT,"verdict":"VERDICT"}: one string member beside the verdict, sorted
// before it, escaped so the reply stays one line whatever TEXT holds.
std::string one_member_reply(std::string_view name, std::string_view text, std::string_view verdict) {
    std::string out = "{\"";
    out += name;
    out += "\":";
    append_json_string(out, text);
    out += ",\"verdict\":\"";
    out += verdict;
    out += "\"}\n";
    return out;
}

}  // namespace

std::string verdict_reply(std::string_view kind) {
    std::string out = R"({"verdict":)";
    append_json_string(out, kind);
    out += "}\n";
    return out;
}

std::string flag_reply(bool value) {
    return value ? "{\"value\":true,\"verdict\":\"ok\"}\n" : "{\"value\":false,\"verdict\":\"ok\"}\n";
}

std::string count_reply(std::uint64_t value) {
    return R"({"value":)" + std::to_string(value) + ",\"verdict\":\"ok\"}\n";
}

// Messages may carry request text (an unknown op); the string escaping keeps the
// reply one line, whatever that text holds.
std::string error_reply(std::string_view message) { return one_member_reply("message", message, "error"); }

std::string hello_reply(std::string_view client) { return one_member_reply("client", client, "ok"); }

std::string already_decided_reply(std::string_view state) {
    return one_member_reply("state", state, "already_decided");
}

std::string approval_recorded_reply(std::span<const std::string> approvals, std::uint32_t quorum) {
    std::string out = R"({"approvals":[)";
    for (std::size_t i = 0; i < approvals.size(); ++i) {
        if (i != 0) out += ',';
        append_json_string(out, approvals[i]);
    }
    out += "],\"quorum\":" + std::to_string(quorum) + ",\"verdict\":\"approval_recorded\"}\n";
    return out;
}

std::string again_reply(std::string_view detail) {
    if (detail.empty()) return "{\"again\":true,\"verdict\":\"release\"}\n";
    std::string out = R"({"again":true,"detail":)";
    out += detail;  // the approved detail as kept: written as it stands
    out += ",\"verdict\":\"release\"}\n";
    return out;
}

std::string released_duplicate_reply(const KeptRelease& kept) {
    std::string out = "{";
    if (kept.completed()) out += "\"completed_at\":" + std::to_string(kept.completed_at_ms) + ",";
    out += "\"decided_by\":";
    append_json_string(out, kept.decided_by);
    out += ",\"released_at\":" + std::to_string(kept.released_at_ms);
    if (kept.completed()) out += ",\"result\":" + kept.result;
    out += ",\"verdict\":\"refused_duplicate\"}\n";
    return out;
}

std::string held_with_link_reply(std::string_view link) {
    return one_member_reply("link", link, "held_for_approval");
}

std::string release_with_detail_reply(std::string_view detail) {
    std::string out = R"({"detail":)";
    out += detail;  // canonical JSON already: written as it stands
    out += ",\"verdict\":\"release\"}\n";
    return out;
}

std::string waited_reply(const WaitedOutcome& outcome) {
    if (!outcome.rejection) return verdict_reply(outcome.kind);
    std::string out = R"({"decided_by":)";
    append_json_string(out, outcome.decided_by);
    if (outcome.expired) out += ",\"expired\":true";
    out += ",\"reason\":";
    append_json_string(out, outcome.reason);
    out += ",\"verdict\":";
    append_json_string(out, outcome.kind);
    out += "}\n";
    return out;
}

}  // namespace latchwork::server
