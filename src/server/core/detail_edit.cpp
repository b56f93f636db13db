// detail_edit.cpp: which members of a waiting effect's detail an approver may change.
#include "server/core/detail_edit.h"

#include <boost/json.hpp>

namespace latchwork::server {
namespace json = boost::json;
namespace {

bool is_pointer(std::string_view text) {
    if (text.size() > kMaxPointerBytes) return false;
    if (!text.empty() && text.front() != '/') return false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '~' && (at + 1 == text.size() || (text[at + 1] != '0' && text[at + 1] != '1'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> pointer_tokens(std::string_view pointer) {
    std::vector<std::string> tokens;
    std::size_t at = 0;
    while (at < pointer.size()) {
        const std::size_t end = pointer.find('/', at + 1);
        const std::string_view raw =
            pointer.substr(at + 1, end == std::string_view::npos ? std::string_view::npos : end - at - 1);
        std::string token;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '~' && i + 1 < raw.size()) {
                token += raw[++i] == '1' ? '/' : '~';
            } else {
                token += raw[i];
            }
        }
        tokens.push_back(std::move(token));
        if (end == std::string_view::npos) break;
        at = end;
    }
    return tokens;
}

namespace {

// Clears the member `pointer` names, if there is one: erased from its object, or made
// null in its array (so that the other pointers' indexes still hold). The whole value
// for the empty pointer.
void clear_at(json::value& root, std::string_view pointer) {
    if (pointer.empty()) {
        root = nullptr;
        return;
    }
    const std::vector<std::string> tokens = pointer_tokens(pointer);
    json::value* at = &root;
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (json::object* object = at->if_object()) {
            at = object->if_contains(tokens[i]);
        } else if (json::array* array = at->if_array()) {
            const std::string& token = tokens[i];
            const bool index = !token.empty() && token.find_first_not_of("0123456789") == std::string::npos &&
                               token.size() < 10;
            at = index && std::stoul(token) < array->size() ? &(*array)[std::stoul(token)] : nullptr;
        } else {
            at = nullptr;
        }
        if (at == nullptr) return;
    }
    const std::string& last = tokens.back();
    if (json::object* object = at->if_object()) {
        object->erase(last);
    } else if (json::array* array = at->if_array()) {
        if (!last.empty() && last.find_first_not_of("0123456789") == std::string::npos && last.size() < 10 &&
            std::stoul(last) < array->size()) {
            (*array)[std::stoul(last)] = nullptr;
        }
    }
}

}  // namespace

Result<std::vector<std::string>> read_editable(std::string_view raw) {
    const std::string shape = "member editable must be an array of at most " + std::to_string(kMaxEditable) +
                              " JSON Pointers";
    boost::system::error_code error;
    const json::value parsed = json::parse(raw, error);
    if (error || !parsed.is_array() || parsed.get_array().size() > kMaxEditable) return Failure{shape};
    std::vector<std::string> pointers;
    for (const json::value& item : parsed.get_array()) {
        if (!item.is_string()) return Failure{shape};
        const std::string_view text = item.get_string();
        if (!is_pointer(text)) {
            return Failure{"member editable holds " + json::serialize(item) + ", not a JSON Pointer of at most " +
                           std::to_string(kMaxPointerBytes) + " bytes"};
        }
        pointers.emplace_back(text);
    }
    return pointers;
}

std::string editable_text(std::span<const std::string> pointers) {
    if (pointers.empty()) return {};
    json::array array;
    for (const std::string& pointer : pointers) array.emplace_back(pointer);
    return json::serialize(array);
}

std::vector<std::string> editable_from_text(std::string_view text) {
    std::vector<std::string> pointers;
    if (text.empty()) return pointers;
    boost::system::error_code error;
    const json::value parsed = json::parse(text, error);
    if (error || !parsed.is_array()) return pointers;
    for (const json::value& item : parsed.get_array()) {
        if (item.is_string()) pointers.emplace_back(item.get_string());
    }
    return pointers;
}

std::optional<std::string> edit_refusal(std::string_view original, std::string_view edited,
                                        std::span<const std::string> editable) {
    if (editable.empty()) return "nothing in this effect's detail may be changed";
    boost::system::error_code error;
    json::value before = json::parse(original.empty() ? std::string_view("{}") : original, error);
    json::value after = error ? json::value() : json::parse(edited, error);
    if (!error) {
        for (const std::string& pointer : editable) {
            clear_at(before, pointer);
            clear_at(after, pointer);
        }
        if (before == after) return std::nullopt;
    }
    std::string allowed = "only ";
    for (std::size_t i = 0; i < editable.size(); ++i) {
        if (i != 0) allowed += ", ";
        allowed += editable[i];
    }
    return allowed + " may be changed";
}

}  // namespace latchwork::server
