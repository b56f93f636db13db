// detail_json.h: what a submitter says an effect is, read into one canonical text.
//
// A detail is kept with its effect while the effect waits and compared with the
// detail of every later submit of it, so two texts that mean the same object must
// compare equal: members sorted by name, no white space, strings and numbers written
// one way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/result.h"

namespace latchwork::server {

// Objects and arrays of a detail nest at most this deep, the detail itself counted.
inline constexpr std::size_t kMaxDetailDepth = 16;

// The canonical compact text of `raw` (one well-formed JSON value), or the message
// that refuses it: not an object, deeper than kMaxDetailDepth, or longer than
// `max_bytes` in canonical form.
Result<std::string> canonical_detail(std::string_view raw, std::size_t max_bytes);

// The canonical compact text of any one JSON value `raw` (a complete's result), or the
// message that refuses it: deeper than kMaxDetailDepth, or longer than `max_bytes`.
Result<std::string> canonical_result(std::string_view raw, std::size_t max_bytes);

}  // namespace latchwork::server
