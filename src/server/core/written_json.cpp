// written_json.cpp: JSON kept as its writer wrote it, so a number written 120.50 reads 120.50 wherever it is shown.
#include "server/core/written_json.h"

#include <boost/json.hpp>

#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

namespace latchwork::server {
namespace json = boost::json;
namespace {

// Begins the string that stands for a written text inside a boost::json value. No
// input can hold it: every text the gate reads is checked to be UTF-8, and 0xFF never
// is, so no run id, reason or name is ever taken for a written text.
constexpr std::string_view kWrittenMarker = "\xff\xfe" "written:";

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A fraction or exponent number in one form for comparing: its double, in the shortest
// text that reads back as it (19.99, 1.999E1 and 19.990 alike). Integers stay as
// written, exact beyond a double's 53 bits.
std::string number_for_comparing(std::string_view token) {
    if (token.find_first_of(".eE") == std::string_view::npos) return std::string(token);
    double number = 0;
    const auto read = std::from_chars(token.data(), token.data() + token.size(), number);
    if (read.ec != std::errc()) return std::string(token);
    char digits[32];
    const auto written = std::to_chars(digits, digits + sizeof digits, number);
    return std::string(digits, written.ptr);
}

// One pass over a well-formed text, writing its written form, or with
// `for_comparing` the form two equal values share.
class WrittenWriter {
public:
    WrittenWriter(std::string_view text, bool for_comparing) : text_(text), for_comparing_(for_comparing) {}

    void value(std::string& out) {
        skip_space();
        switch (text_[at_]) {
            case '{': object(out); return;
            case '[': array(out); return;
            case '"': out += json::serialize(json::string_view(string_token())); return;
            default: scalar(out); return;
        }
    }

private:
    void object(std::string& out) {
        ++at_;
        std::vector<std::pair<std::string, std::string>> members;  // name, "name":value
        skip_space();
        if (text_[at_] == '}') {
            ++at_;
            out += "{}";
            return;
        }
        for (;;) {
            skip_space();
            std::string name = string_token();
            skip_space();
            ++at_;  // ':'
            std::string member = json::serialize(json::string_view(name));
            member += ':';
            value(member);
            auto same = std::find_if(members.begin(), members.end(),
                                     [&name](const auto& kept) { return kept.first == name; });
            if (same != members.end()) same->second = std::move(member);
            else members.emplace_back(std::move(name), std::move(member));
            skip_space();
            if (text_[at_++] == '}') break;
        }
        std::sort(members.begin(), members.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        out += '{';
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i != 0) out += ',';
            out += members[i].second;
        }
        out += '}';
    }

    void array(std::string& out) {
        ++at_;
        out += '[';
        skip_space();
        if (text_[at_] == ']') {
            ++at_;
            out += ']';
            return;
        }
        for (;;) {
            value(out);
            skip_space();
            if (text_[at_++] == ']') break;
            out += ',';
        }
        out += ']';
    }

    // A string token's text, its escapes read.
    std::string string_token() {
        const std::size_t start = at_++;
        bool escaped = false;
        while (text_[at_] != '"') {
            escaped = escaped || text_[at_] == '\\';
            at_ += text_[at_] == '\\' ? 2 : 1;
        }
        ++at_;
        // Most names and values hold no escape: their text is what stands between the quotes.
        if (!escaped) return std::string(text_.substr(start + 1, at_ - start - 2));
        boost::system::error_code error;
        const json::value read = json::parse(text_.substr(start, at_ - start), error);
        return error ? std::string() : std::string(read.get_string());
    }

    // A number, true, false or null, as written.
    void scalar(std::string& out) {
        const std::size_t start = at_;
        while (at_ < text_.size() && !is_space(text_[at_]) && text_[at_] != ',' && text_[at_] != '}' &&
               text_[at_] != ']') {
            ++at_;
        }
        const std::string_view token = text_.substr(start, at_ - start);
        if (for_comparing_) out += number_for_comparing(token);
        else out.append(token);
    }

    void skip_space() {
        while (at_ < text_.size() && is_space(text_[at_])) ++at_;
    }

    std::string_view text_;
    bool for_comparing_;
    std::size_t at_ = 0;
};

void write_parsed(const json::value& value, std::string& out) {
    if (const json::object* object = value.if_object()) {
        std::vector<const json::key_value_pair*> members;
        members.reserve(object->size());
        for (const auto& member : *object) members.push_back(&member);
        std::sort(members.begin(), members.end(), [](const auto* a, const auto* b) { return a->key() < b->key(); });
        out += '{';
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i != 0) out += ',';
            out += json::serialize(json::string_view(members[i]->key()));
            out += ':';
            write_parsed(members[i]->value(), out);
        }
        out += '}';
    } else if (const json::array* array = value.if_array()) {
        out += '[';
        for (std::size_t i = 0; i < array->size(); ++i) {
            if (i != 0) out += ',';
            write_parsed((*array)[i], out);
        }
        out += ']';
    } else if (value.is_double()) {
        char digits[32];
        const auto written = std::to_chars(digits, digits + sizeof digits, value.get_double());
        out.append(digits, written.ec == std::errc() ? written.ptr : digits);
    } else {
        out += json::serialize(value);
    }
}

void write_keeping(const json::value& value, std::string& out) {
    if (const json::object* object = value.if_object()) {
        out += '{';
        bool first = true;
        for (const auto& member : *object) {
            if (!first) out += ',';
            first = false;
            out += json::serialize(json::string_view(member.key()));
            out += ':';
            write_keeping(member.value(), out);
        }
        out += '}';
        return;
    }
    if (const json::array* array = value.if_array()) {
        out += '[';
        for (std::size_t i = 0; i < array->size(); ++i) {
            if (i != 0) out += ',';
            write_keeping((*array)[i], out);
        }
        out += ']';
        return;
    }
    if (const json::string* text = value.if_string(); text != nullptr && text->subview().starts_with(kWrittenMarker)) {
        out.append(text->subview().substr(kWrittenMarker.size()));
        return;
    }
    out += json::serialize(value);
}

}  // namespace

std::string written_form(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    WrittenWriter(text, false).value(out);
    return out;
}

std::string written_form(const json::value& value) {
    std::string out;
    write_parsed(value, out);
    return out;
}

bool same_json(std::string_view a, std::string_view b) {
    if (a == b) return true;
    // The writer reads without checking, so a text that does not read (an empty one:
    // no detail; a damaged store) equals only itself.
    boost::system::error_code a_error;
    boost::system::error_code b_error;
    (void)json::parse(a, a_error);
    (void)json::parse(b, b_error);
    if (a_error || b_error) return false;
    std::string a_form;
    std::string b_form;
    WrittenWriter(a, true).value(a_form);
    WrittenWriter(b, true).value(b_form);
    return a_form == b_form;
}

json::value written_json(std::string_view text) {
    if (text.empty()) return nullptr;
    std::string marked(kWrittenMarker);
    marked += text;
    return json::string(marked);
}

std::string serialize_keeping_written(const json::value& value) {
    std::string out;
    write_keeping(value, out);
    return out;
}

}  // namespace latchwork::server
