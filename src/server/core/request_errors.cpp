// request_errors.cpp: the fixed message of every request the server refuses.
#include "server/core/request_errors.h"

namespace latchwork::server {

std::string not_utf8_message() { return "request is not valid UTF-8"; }

std::string not_json_message(std::string_view parser_message) {
    return "request is not valid JSON: " + std::string(parser_message);
}

std::string not_object_message() { return "request is not a JSON object"; }

std::string missing_member_message(std::string_view name) {
    return "missing member: " + std::string(name);
}

std::string not_string_message(std::string_view name) {
    return "member " + std::string(name) + " must be a string";
}

std::string not_boolean_message(std::string_view name) {
    return "member " + std::string(name) + " must be a boolean";
}

// The op goes out as it came (the reply writer escapes it); the line cap bounds it.
std::string unknown_op_message(std::string_view op) { return "unknown op: " + std::string(op); }

std::string line_too_long_message() { return "request line too long"; }

std::string not_authenticated_message() { return "decision not authenticated"; }

std::string id_too_long_message(std::string_view name, std::size_t max) {
    return std::string(name) + " is longer than " + std::to_string(max) + " bytes";
}

std::string line_feed_id_message(std::string_view name) {
    return std::string(name) + " must not contain a line feed when decisions are authenticated";
}

std::string not_object_member_message(std::string_view name) {
    return "member " + std::string(name) + " must be an object";
}

std::string detail_too_deep_message(std::size_t max_depth) {
    return "member detail nests deeper than " + std::to_string(max_depth) + " levels";
}

std::string detail_too_long_message(std::size_t max) {
    return "member detail is longer than " + std::to_string(max) + " bytes";
}

std::string wait_ms_message(std::uint64_t max) {
    return "member wait_ms must be a whole number from 0 to " + std::to_string(max);
}

std::string detail_differs_message() { return "detail differs from the waiting effect's"; }

std::string edited_approval_message() {
    return "effect was approved with changes: take it with a client that sends an attempt";
}

std::string decided_by_people_message(std::string_view rule) {
    return "effect is decided by people (rule " + std::string(rule) + ")";
}

std::string attempt_message(std::size_t max) {
    return "member attempt must be a string of 1 to " + std::to_string(max) + " bytes";
}

std::string result_too_long_message(std::size_t max) {
    return "member result is longer than " + std::to_string(max) + " bytes";
}

std::string result_too_deep_message(std::size_t max_depth) {
    return "member result nests deeper than " + std::to_string(max_depth) + " levels";
}

std::string not_released_message() { return "effect was not released"; }

std::string foreign_attempt_message() { return "only the attempt that took the release may complete it"; }

std::string completed_otherwise_message() { return "effect was completed already with another result"; }

}  // namespace latchwork::server
