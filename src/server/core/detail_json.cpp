// detail_json.cpp: what a submitter says an effect is, read into one canonical text.
#include "server/core/detail_json.h"

#include <boost/json.hpp>

#include <algorithm>
#include <vector>

#include "server/core/request_errors.h"

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

void write_canonical(const json::value& value, std::string& out) {
    if (const json::object* object = value.if_object()) {
        std::vector<const json::key_value_pair*> members;
        members.reserve(object->size());
        for (const auto& member : *object) members.push_back(&member);
        std::sort(members.begin(), members.end(),
                  [](const auto* a, const auto* b) { return a->key() < b->key(); });
        out += '{';
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i != 0) out += ',';
            out += json::serialize(json::string_view(members[i]->key()));
            out += ':';
            write_canonical(members[i]->value(), out);
        }
        out += '}';
        return;
    }
    if (const json::array* array = value.if_array()) {
        out += '[';
        for (std::size_t i = 0; i < array->size(); ++i) {
            if (i != 0) out += ',';
            write_canonical((*array)[i], out);
        }
        out += ']';
        return;
    }
    out += json::serialize(value);
}

}  // namespace

Result<std::string> canonical_detail(std::string_view raw, std::size_t max_bytes) {
    boost::system::error_code error;
    // The line was read strictly before; this parse only builds the value, with room
    // for one level more than allowed so that "too deep" is told as such.
    json::parse_options options;
    options.max_depth = kMaxDetailDepth + 1;
    const json::value value = json::parse(json::string_view(raw.data(), raw.size()), error,
                                          json::storage_ptr(), options);
    if (error == json::error::too_deep || (!error && depth_of(value) > kMaxDetailDepth)) {
        return Failure{detail_too_deep_message(kMaxDetailDepth)};
    }
    if (error || !value.is_object()) return Failure{not_object_member_message("detail")};
    std::string canonical;
    write_canonical(value, canonical);
    if (canonical.size() > max_bytes) {
        return Failure{detail_too_long_message(max_bytes)};
    }
    return canonical;
}

Result<std::string> canonical_result(std::string_view raw, std::size_t max_bytes) {
    boost::system::error_code error;
    json::parse_options options;
    options.max_depth = kMaxDetailDepth + 1;
    const json::value value = json::parse(json::string_view(raw.data(), raw.size()), error,
                                          json::storage_ptr(), options);
    if (error == json::error::too_deep || (!error && depth_of(value) > kMaxDetailDepth)) {
        return Failure{result_too_deep_message(kMaxDetailDepth)};
    }
    if (error) return Failure{result_too_long_message(max_bytes)};  // never: the line was read strictly
    std::string canonical;
    write_canonical(value, canonical);
    if (canonical.size() > max_bytes) return Failure{result_too_long_message(max_bytes)};
    return canonical;
}

}  // namespace latchwork::server
