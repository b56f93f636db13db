// request_encoder.cpp: the JSON texts of the requests sent to a gate server.
//
// The member names are fixed, so each request writes them in their sorted order
// directly instead of collecting and sorting them.
#include "client/request_encoder.h"

namespace latchwork {
namespace {

// Short escapes; 'u' marks the \u00xx form and 0 means "written as it is".
constexpr char escape_letter(unsigned char c) {
    switch (c) {
        case '"': return '"';
        case '\\': return '\\';
        case '\b': return 'b';
        case '\t': return 't';
        case '\n': return 'n';
        case '\f': return 'f';
        case '\r': return 'r';
        default: return c < 0x20 ? 'u' : 0;
    }
}

// The exact size of the string literal, so that a request is one allocation.
std::size_t string_room(std::string_view text) {
    std::size_t size = text.size() + 2;
    for (const char c : text) {
        const char letter = escape_letter(static_cast<unsigned char>(c));
        size += letter == 0 ? 0 : letter == 'u' ? 5 : 1;
    }
    return size;
}

void append_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const char letter = escape_letter(c);
        if (letter == 0) {
            continue;
        }
        out.append(text.substr(run, i - run));
        out.push_back('\\');
        out.push_back(letter);
        if (letter == 'u') {
            out += "00";
            out.push_back("0123456789abcdef"[c >> 4]);
            out.push_back("0123456789abcdef"[c & 0xF]);
        }
        run = i + 1;
    }
    out.append(text.substr(run));
    out.push_back('"');
}

std::string encode_submit(std::string_view run_id, std::string_view effect_key,
                          bool needs_approval) {
    std::string out;
    out.reserve(64 + string_room(run_id) + string_room(effect_key));
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
    out.reserve(64 + string_room(run_id) + string_room(effect_key) +
                (mac ? string_room(*mac) + 7 : 0));
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
    out.reserve(32 + string_room(run_id));
    out += R"({"op":"cancel","run_id":)";
    append_json_string(out, run_id);
    out.push_back('}');
    return out;
}

}  // namespace latchwork
