// request_errors.h: the fixed message of every request the server refuses.
//
// Each message form is built here and nowhere else, so a text cannot drift between
// the place that detects the fault and the tests that pin it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace latchwork::server {

std::string not_utf8_message();                                       // "request is not valid UTF-8"
std::string not_json_message(std::string_view parser_message);        // "request is not valid JSON: ..."
std::string not_object_message();                                     // "request is not a JSON object"
std::string missing_member_message(std::string_view name);            // "missing member: NAME"
std::string not_string_message(std::string_view name);                // "member NAME must be a string"
std::string not_boolean_message(std::string_view name);               // "member NAME must be a boolean"
std::string unknown_op_message(std::string_view op);                  // "unknown op: OP"
std::string line_too_long_message();                                  // "request line too long"
std::string not_authenticated_message();                              // "decision not authenticated"
std::string id_too_long_message(std::string_view name, std::size_t max); // "NAME is longer than MAX bytes"
std::string line_feed_id_message(std::string_view name);              // "NAME must not contain a line feed when ..."
std::string not_object_member_message(std::string_view name);          // "member NAME must be an object"
std::string detail_too_deep_message(std::size_t max_depth);           // "member detail nests deeper than N levels"
std::string detail_too_long_message(std::size_t max);                 // "member detail is longer than MAX bytes"
std::string wait_ms_message(std::uint64_t max);                       // "member wait_ms must be a whole number from 0 to MAX"
std::string detail_differs_message();                                 // "detail differs from the waiting effect's"
std::string edited_approval_message();                                // "effect was approved with changes: take it ..."
std::string decided_by_people_message(std::string_view rule);         // "effect is decided by people (rule NAME)"
std::string attempt_message(std::size_t max);                        // "member attempt must be a string of 1 to MAX bytes"
std::string result_too_long_message(std::size_t max);                 // "member result is longer than MAX bytes"
std::string result_too_deep_message(std::size_t max_depth);           // "member result nests deeper than N levels"
std::string not_released_message();                                   // "effect was not released"
std::string foreign_attempt_message();                                // "only the attempt that took the release may complete it"
std::string completed_otherwise_message();                            // "effect was completed already with another result"

}  // namespace latchwork::server
