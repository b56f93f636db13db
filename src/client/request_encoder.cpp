// request_encoder.cpp: the JSON texts of the requests sent to a gate server.
//
// The member names are fixed, so each request writes them in their sorted order
// directly instead of collecting and sorting them.
#include "client/request_encoder.h"

#include "wire/json_string.h"

namespace latchwork {
namespace {

void append_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

}  // namespace

std::string encode_submit(std::string_view run_id, std::string_view effect_key,
                          bool needs_approval) {
    std::string out;
    out.reserve(64 + json_string_size(run_id) + json_string_size(effect_key));
    out += R"({"effect_key":)";
    append_json_string(out, effect_key);
    out += R"(,"needs_approval":)";
    append_bool(out, needs_approval);
    out += R"(,"op":"submit","run_id":)";
    append_json_string(out, run_id);
    out.push_back('}');
    return out;
}

std::string encode_decide(std::string_view run_id, std::string_view effect_key, bool approved,
                          std::optional<std::string_view> mac) {
    std::string out;
    out.reserve(64 + json_string_size(run_id) + json_string_size(effect_key) +
                (mac ? json_string_size(*mac) + 7 : 0));
    out += R"({"approved":)";
    append_bool(out, approved);
    out += R"(,"effect_key":)";
    append_json_string(out, effect_key);
    if (mac) {
        out += R"(,"mac":)";
        append_json_string(out, *mac);
    }
    out += R"(,"op":"decide","run_id":)";
    append_json_string(out, run_id);
    out.push_back('}');
    return out;
}

std::string encode_cancel(std::string_view run_id) {
    std::string out;
    out.reserve(32 + json_string_size(run_id));
    out += R"({"op":"cancel","run_id":)";
    append_json_string(out, run_id);
    out.push_back('}');
    return out;
}

}  // namespace latchwork
