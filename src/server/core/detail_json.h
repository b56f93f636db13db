// detail_json.h: what a submitter says an effect is, read into one canonical text.
//
// A detail is kept with its effect while the effect waits and compared with the
// detail of every later submit of it: members sorted by name, no white space, strings
// written one way, and numbers as the submitter wrote them, so people read 120.50 as
// written; two details are compared by value (same_json in written_json.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/result.h"

namespace latchwork::server {

// Objects and arrays of a detail nest at most this deep, the detail itself counted.
inline constexpr std::size_t kMaxDetailDepth = 16;

// The written form of `raw` (one well-formed JSON value; written_json.h), or the message
// that refuses it: not an object, deeper than kMaxDetailDepth, or longer than
// `max_bytes` in that form.
Result<std::string> canonical_detail(std::string_view raw, std::size_t max_bytes);

// The written form of any one JSON value `raw` (a complete's result), or the
// message that refuses it: deeper than kMaxDetailDepth, or longer than `max_bytes`.
Result<std::string> canonical_result(std::string_view raw, std::size_t max_bytes);

}  // namespace latchwork::server
