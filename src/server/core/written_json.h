// written_json.h: JSON kept as its writer wrote it, so a number written 120.50 reads 120.50 wherever it is shown.
//
// A submitter's detail is shown to people, sent to receivers and compared with the detail
// of every later submit of its effect. Parsed into doubles and written back, 19.99 would
// read 1.999E1 and 120.50 would lose its cents. So a detail is kept in its written form
// (members sorted by name, no white space, strings escaped one way, numbers as written),
// two details are the same when their values are equal, and a body that carries one
// places its text unchanged.
#pragma once

#include <boost/json/value.hpp>

#include <string>
#include <string_view>

namespace latchwork::server {

// The written form of `text`, one well-formed JSON value (checked before: this reads
// it without checking again). Of a repeated member name the last counts, as when the
// value is parsed.
std::string written_form(std::string_view text);

// The written form of a value already parsed (its digits as written are gone): members
// sorted by name, a fraction in its shortest decimal form (19.99, not 1.999E1). For a
// detail an approver sent, and for people reading a parsed reply.
std::string written_form(const boost::json::value& value);

// Whether two well-formed JSON texts hold equal values: members in any order, a
// fraction or exponent number by its double (19.99 and 1.999E1, 120.50 and 120.5),
// an integer by its digits.
bool same_json(std::string_view a, std::string_view b);

// A value that serialize_keeping_written() writes as `text` itself: a written form, or
// null when `text` is empty. `text` must be well-formed JSON.
boost::json::value written_json(std::string_view text);

// The compact text of `value`, each written_json() in it written as its own text. Other
// code must not serialize such a value: boost::json::serialize would write the marker.
std::string serialize_keeping_written(const boost::json::value& value);

}  // namespace latchwork::server
