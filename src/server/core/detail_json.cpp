// detail_json.cpp: what a submitter says an effect is, read into one canonical text.
#include "server/core/detail_json.h"

#include <boost/json.hpp>

#include <algorithm>
#include <optional>

#include "server/core/request_errors.h"
#include "server/core/written_json.h"

namespace latchwork::server {
namespace json = boost::json;
namespace {

std::size_t depth_of(const json::value& value) {
    std::size_t deepest = 0;
    if (const json::object* object = value.if_object()) {
        for (const auto& member : *object) deepest = std::max(deepest, depth_of(member.value()));
        return deepest + 1;
    }
    if (const json::array* array = value.if_array()) {
        for (const json::value& element : *array) deepest = std::max(deepest, depth_of(element));
        return deepest + 1;
    }
    return 0;
}

// `raw` parsed, or nullopt when it nests deeper than kMaxDetailDepth (the line was read
// strictly before: it always parses otherwise). The parse has room for one level more
// than allowed, so that "too deep" is told as such.
std::optional<json::value> within_depth(std::string_view raw) {
    boost::system::error_code error;
    json::parse_options options;
    options.max_depth = kMaxDetailDepth + 1;
    json::value value = json::parse(json::string_view(raw.data(), raw.size()), error, json::storage_ptr(), options);
    if (error == json::error::too_deep || (!error && depth_of(value) > kMaxDetailDepth)) return std::nullopt;
    return value;  // null as well for a text that does not parse, never expected
}

}  // namespace

Result<std::string> canonical_detail(std::string_view raw, std::size_t max_bytes) {
    const std::optional<json::value> value = within_depth(raw);
    if (!value) return Failure{detail_too_deep_message(kMaxDetailDepth)};
    if (!value->is_object()) return Failure{not_object_member_message("detail")};
    // Its numbers as written: people read them so, and same_json() compares by value.
    std::string canonical = written_form(raw);
    if (canonical.size() > max_bytes) return Failure{detail_too_long_message(max_bytes)};
    return canonical;
}

Result<std::string> canonical_result(std::string_view raw, std::size_t max_bytes) {
    if (!within_depth(raw)) return Failure{result_too_deep_message(kMaxDetailDepth)};
    std::string canonical = written_form(raw);  // numbers as written, as a detail's
    if (canonical.size() > max_bytes) return Failure{result_too_long_message(max_bytes)};
    return canonical;
}

}  // namespace latchwork::server
