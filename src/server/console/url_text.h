// url_text.h: percent-decoding of path segments and query parameters.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace latchwork::server {

// Decodes %XX escapes; `plus_is_space` for query values. Null when an escape is
// malformed or the result is not UTF-8 (no run id or effect key can be).
std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space);

// The name=value pairs of a query string, decoded; null when any is malformed.
std::optional<std::vector<std::pair<std::string, std::string>>> parse_query(std::string_view query);

}  // namespace latchwork::server
