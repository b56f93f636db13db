// detail_value.h: an effect's stored detail as the JSON object the console sends.
#pragma once

#include <boost/json/value.hpp>

#include <string_view>

namespace latchwork::server {

// A detail's text as the console sends it, numbers as written (written_json.h: the
// value is serialized by serialize_keeping_written); null for none (or for a text that
// is not JSON, never expected: the console then shows no detail rather than failing a
// list).
boost::json::value detail_value(std::string_view detail);

}  // namespace latchwork::server
