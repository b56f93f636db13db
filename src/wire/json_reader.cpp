// json_reader.cpp: strict reader of one JSON text, keeping the top-level members asked for.
//
// The reader is iterative: open arrays and objects live on a fixed stack of
// kMaxJsonDepth entries, so no input can exhaust the C++ stack. Error columns follow
// one convention throughout: an error about a character that has only been looked
// at reports that character's position; an error found by consuming a character
// reports the position of the last consumed one; either is capped at the text's
// length, which is what an error at the end of the text reports.
#include "wire/json_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#include "wire/utf8.h"

namespace latchwork {
namespace {

enum class JsonError {
    eof_list,
    eof_object,
    eof_string,
    eof_value,
    expected_colon,
    expected_list_comma_or_end,
    expected_object_comma_or_end,
    expected_ident,
    expected_value,
    invalid_escape,
    invalid_number,
    number_out_of_range,
    control_character,
    key_must_be_string,
    lone_leading_surrogate,
    unexpected_end_of_hex_escape,
    trailing_comma,
    trailing_characters,
    recursion_limit,
};

std::string_view describe(JsonError error) {
    switch (error) {
        case JsonError::eof_list: return "EOF while parsing a list";
        case JsonError::eof_object: return "EOF while parsing an object";
        case JsonError::eof_string: return "EOF while parsing a string";
        case JsonError::eof_value: return "EOF while parsing a value";
        case JsonError::expected_colon: return "expected `:`";
        case JsonError::expected_list_comma_or_end: return "expected `,` or `]`";
        case JsonError::expected_object_comma_or_end: return "expected `,` or `}`";
        case JsonError::expected_ident: return "expected ident";
        case JsonError::expected_value: return "expected value";
        case JsonError::invalid_escape: return "invalid escape";
        case JsonError::invalid_number: return "invalid number";
        case JsonError::number_out_of_range: return "number out of range";
        case JsonError::control_character:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case JsonError::key_must_be_string: return "key must be a string";
        case JsonError::lone_leading_surrogate: return "lone leading surrogate in hex escape";
        case JsonError::unexpected_end_of_hex_escape: return "unexpected end of hex escape";
        case JsonError::trailing_comma: return "trailing comma";
        case JsonError::trailing_characters: return "trailing characters";
        case JsonError::recursion_limit: return "recursion limit exceeded";
    }
    return "invalid JSON";
}

// The one builder of parser messages. `end` is the number of bytes up to and
// including the character the error is about.
std::string parser_message(JsonError error, std::string_view text, std::size_t end) {
    end = std::min(end, text.size());
    const std::string_view before = text.substr(0, end);
    const std::size_t last_feed = before.rfind('\n');
    const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
    const std::size_t line = 1 + static_cast<std::size_t>(
        std::count(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(line_start), '\n'));
    std::string message(describe(error));
    message += " at line ";
    message += std::to_string(line);
    message += " column ";
    message += std::to_string(end - line_start);
    return message;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether a number that matched the JSON grammar is too large in magnitude for a
// double (after rounding to nearest). A value too small for one is fine: it is zero.
bool overflows_double(std::string_view number) {
    double value;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                           std::chars_format::general);
    (void)end;
    if (ec != std::errc::result_out_of_range) {
        return false;
    }
    // Out of range is either overflow or underflow; the decimal exponent of the
    // leading significant digit tells which, as no value near 1 is out of range.
    std::size_t pos = number.front() == '-' ? 1 : 0;
    std::int64_t integer_digits = 0;
    std::int64_t leading = -1;  // index among all significand digits of the first non-zero one
    std::int64_t index = 0;
    bool in_fraction = false;
    for (; pos < number.size() && number[pos] != 'e' && number[pos] != 'E'; ++pos) {
        if (number[pos] == '.') {
            in_fraction = true;
            continue;
        }
        if (leading < 0 && number[pos] != '0') {
            leading = index;
        }
        ++index;
        integer_digits += in_fraction ? 0 : 1;
    }
    if (leading < 0) {
        return false;  // zero never overflows
    }
    std::int64_t exponent = 0;
    if (pos < number.size()) {
        ++pos;
        const bool negative = number[pos] == '-';
        pos += (number[pos] == '-' || number[pos] == '+') ? 1 : 0;
        for (; pos < number.size(); ++pos) {
            exponent = std::min<std::int64_t>(exponent * 10 + (number[pos] - '0'), 1'000'000'000'000);
        }
        exponent = negative ? -exponent : exponent;
    }
    return integer_digits - 1 - leading + exponent > 0;
}

// The index of a wanted member whose value comes next, or none.
constexpr std::size_t kNoMember = static_cast<std::size_t>(-1);

class Reader {
public:
    Reader(std::string_view text, std::span<const std::string_view> wanted)
        : text_(text), wanted_(wanted) {
        members_.values.resize(wanted.size());
    }

    Result<TopLevelMembers> run() {
        if (!parse()) {
            return Failure{parser_message(error_, text_, error_end_)};
        }
        return std::move(members_);
    }

private:
    bool at_end() const { return pos_ == text_.size(); }
    char peek() const { return text_[pos_]; }

    void skip_white_space() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++pos_;
        }
    }

    // An error about the character at pos_, which has not been consumed.
    bool fail_here(JsonError error) { return fail_after(error, pos_ + 1); }

    // An error whose position is the byte count `end` (capped at the text's length).
    bool fail_after(JsonError error, std::size_t end) {
        error_ = error;
        error_end_ = end;
        return false;
    }

    bool in_object() const { return open_[depth_ - 1]; }

    bool parse() {
        for (;;) {
            bool complete = false;
            if (!parse_value(complete)) {
                return false;
            }
            // After a complete value: close containers or find the next element.
            while (complete) {
                skip_white_space();
                if (depth_ == 0) {
                    return at_end() || fail_here(JsonError::trailing_characters);
                }
                if (!after_element(complete)) {
                    return false;
                }
            }
        }
    }

    // Parses a value, or opens a container and positions at its first element;
    // `complete` tells whether a whole value was consumed.
    bool parse_value(bool& complete) {
        skip_white_space();
        if (at_end()) {
            return fail_here(JsonError::eof_value);
        }
        const std::size_t target = target_;
        target_ = kNoMember;
        const char c = peek();
        switch (c) {
            case '[':
            case '{':
                if (depth_ + 1 > kMaxJsonDepth) {
                    return fail_here(JsonError::recursion_limit);
                }
                assign_other(target);
                if (target != kNoMember) {
                    raw_target_ = target;
                    raw_begin_ = pos_;
                    raw_depth_ = depth_;
                }
                ++pos_;
                open_[depth_++] = c == '{';
                if (c == '{' && depth_ == 1) {
                    members_.is_object = true;
                }
                return c == '{' ? first_member(complete) : first_element(complete);
            case '"': {
                ++pos_;
                std::string* out = target == kNoMember ? nullptr : &scratch_;
                if (!parse_string(out)) {
                    return false;
                }
                if (out) assign_string(target, std::move(*out));
                complete = true;
                return true;
            }
            case 't':
            case 'f':
            case 'n':
                complete = true;
                if (!parse_literal(c == 't' ? "true" : c == 'f' ? "false" : "null")) {
                    return false;
                }
                if (c == 'n') {
                    assign_other(target);
                } else {
                    assign_boolean(target, c == 't');
                }
                return true;
            default:
                if (c != '-' && !is_digit(c)) {
                    return fail_here(JsonError::expected_value);
                }
                assign_other(target);
                complete = true;
                {
                    const std::size_t begin = pos_;
                    if (!parse_number()) return false;
                    if (target != kNoMember) {
                        members_.values[target]->raw = text_.substr(begin, pos_ - begin);
                    }
                }
                return true;
        }
    }

    bool first_element(bool& complete) {
        skip_white_space();
        if (at_end()) {
            return fail_here(JsonError::eof_list);
        }
        if (peek() == ']') {
            ++pos_;
            closed_container();
            complete = true;
        } else {
            complete = false;  // the element is parsed next
        }
        return true;
    }

    bool first_member(bool& complete) {
        skip_white_space();
        if (at_end()) {
            return fail_here(JsonError::eof_object);
        }
        if (peek() == '}') {
            ++pos_;
            closed_container();
            complete = true;
            return true;
        }
        if (peek() != '"') {
            return fail_here(JsonError::key_must_be_string);
        }
        complete = false;
        return parse_key();
    }

    // At the character after an element of the innermost open container.
    bool after_element(bool& complete) {
        const bool object = in_object();
        if (at_end()) {
            return fail_here(object ? JsonError::eof_object : JsonError::eof_list);
        }
        const char close = object ? '}' : ']';
        if (peek() == close) {
            ++pos_;
            closed_container();
            complete = true;
            return true;
        }
        if (peek() != ',') {
            return fail_here(object ? JsonError::expected_object_comma_or_end
                                    : JsonError::expected_list_comma_or_end);
        }
        ++pos_;
        skip_white_space();
        if (at_end()) {
            return fail_here(JsonError::eof_value);
        }
        if (peek() == close) {
            return fail_here(JsonError::trailing_comma);
        }
        complete = false;
        if (!object) {
            return true;
        }
        if (peek() != '"') {
            return fail_here(JsonError::key_must_be_string);
        }
        return parse_key();
    }

    // At the opening quote of a member name; consumes the name and the colon.
    bool parse_key() {
        ++pos_;
        const bool top_level = depth_ == 1;
        if (!parse_string(top_level ? &scratch_ : nullptr)) {
            return false;
        }
        target_ = kNoMember;
        if (top_level) {
            for (std::size_t i = 0; i < wanted_.size(); ++i) {
                if (scratch_ == wanted_[i]) target_ = i;
            }
        }
        skip_white_space();
        if (at_end()) {
            return fail_here(JsonError::eof_object);
        }
        if (peek() != ':') {
            return fail_here(JsonError::expected_colon);
        }
        ++pos_;
        return true;
    }

    // Leaves the innermost container; a wanted member's container keeps its text.
    void closed_container() {
        --depth_;
        if (raw_target_ != kNoMember && depth_ == raw_depth_) {
            members_.values[raw_target_]->raw = text_.substr(raw_begin_, pos_ - raw_begin_);
            raw_target_ = kNoMember;
        }
    }

    // The last member of a name counts, whatever its type.
    void assign_other(std::size_t target) {
        if (target != kNoMember) members_.values[target] = MemberValue{};
    }
    void assign_boolean(std::size_t target, bool flag) {
        if (target != kNoMember) members_.values[target] = MemberValue{MemberValue::Type::boolean, {}, flag, {}};
    }
    void assign_string(std::size_t target, std::string&& text) {
        if (target != kNoMember) {
            members_.values[target] = MemberValue{MemberValue::Type::string, std::move(text), false, {}};
        }
    }

    bool parse_literal(std::string_view word) {
        ++pos_;  // the first letter chose the literal
        for (const char expected : word.substr(1)) {
            if (at_end()) {
                return fail_after(JsonError::eof_value, pos_);
            }
            if (text_[pos_++] != expected) {
                return fail_after(JsonError::expected_ident, pos_);
            }
        }
        return true;
    }

    bool parse_number() {
        const std::size_t start = pos_;
        if (peek() == '-') {
            ++pos_;
        }
        if (at_end()) {
            return fail_after(JsonError::eof_value, pos_);
        }
        const char first = text_[pos_++];
        if (first == '0') {
            if (!at_end() && is_digit(peek())) {
                return fail_here(JsonError::invalid_number);
            }
        } else if (is_digit(first)) {
            while (!at_end() && is_digit(peek())) ++pos_;
        } else {
            return fail_after(JsonError::invalid_number, pos_);
        }
        if (!at_end() && peek() == '.') {
            ++pos_;
            const std::size_t digits = pos_;
            while (!at_end() && is_digit(peek())) ++pos_;
            if (pos_ == digits) {
                return fail_here(at_end() ? JsonError::eof_value : JsonError::invalid_number);
            }
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            ++pos_;
            if (!at_end() && (peek() == '+' || peek() == '-')) {
                ++pos_;
            }
            if (at_end()) {
                return fail_after(JsonError::eof_value, pos_);
            }
            if (!is_digit(text_[pos_++])) {
                return fail_after(JsonError::invalid_number, pos_);
            }
            while (!at_end() && is_digit(peek())) ++pos_;
        }
        if (overflows_double(text_.substr(start, pos_ - start))) {
            return fail_after(JsonError::number_out_of_range, pos_);
        }
        return true;
    }

    // After the opening quote; consumes the string and its closing quote. With `out`
    // the decoded text is stored there, otherwise the string is only validated.
    bool parse_string(std::string* out) {
        if (out) out->clear();
        std::size_t run = pos_;
        for (;;) {
            while (!at_end()) {
                const auto c = static_cast<unsigned char>(peek());
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++pos_;
            }
            if (at_end()) {
                return fail_after(JsonError::eof_string, pos_);
            }
            if (out) out->append(text_.substr(run, pos_ - run));
            const char c = text_[pos_++];
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                return fail_after(JsonError::control_character, pos_);
            }
            if (!parse_escape(out)) {
                return false;
            }
            run = pos_;
        }
    }

    // After a backslash.
    bool parse_escape(std::string* out) {
        if (at_end()) {
            return fail_after(JsonError::eof_string, pos_);
        }
        char decoded;
        switch (text_[pos_++]) {
            case '"': decoded = '"'; break;
            case '\\': decoded = '\\'; break;
            case '/': decoded = '/'; break;
            case 'b': decoded = '\b'; break;
            case 'f': decoded = '\f'; break;
            case 'n': decoded = '\n'; break;
            case 'r': decoded = '\r'; break;
            case 't': decoded = '\t'; break;
            case 'u': return parse_unicode_escape(out);
            default: return fail_after(JsonError::invalid_escape, pos_);
        }
        if (out) out->push_back(decoded);
        return true;
    }

    // After "\u". A high surrogate must be followed by a "\u" low surrogate.
    bool parse_unicode_escape(std::string* out) {
        char32_t unit;
        if (!parse_hex4(unit)) {
            return false;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return fail_after(JsonError::lone_leading_surrogate, pos_);
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            for (const char expected : {'\\', 'u'}) {
                if (at_end()) {
                    return fail_after(JsonError::eof_string, pos_);
                }
                if (text_[pos_++] != expected) {
                    return fail_after(JsonError::unexpected_end_of_hex_escape, pos_);
                }
            }
            char32_t low;
            if (!parse_hex4(low)) {
                return false;
            }
            if (low < 0xDC00 || low > 0xDFFF) {
                return fail_after(JsonError::lone_leading_surrogate, pos_);
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out) append_utf8(*out, unit);
        return true;
    }

    // Four hexadecimal digits; an invalid one is reported after all four are taken.
    bool parse_hex4(char32_t& value) {
        if (text_.size() - pos_ < 4) {
            pos_ = text_.size();
            return fail_after(JsonError::eof_string, pos_);
        }
        value = 0;
        bool valid = true;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_value(text_[pos_++]);
            valid = valid && digit >= 0;
            value = (value << 4) | static_cast<char32_t>(digit & 0xF);
        }
        return valid || fail_after(JsonError::invalid_escape, pos_);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::array<bool, kMaxJsonDepth> open_{};  // per open container: true for an object
    std::size_t depth_ = 0;
    std::span<const std::string_view> wanted_;
    std::size_t target_ = kNoMember;  // the wanted top-level member whose value comes next
    // A wanted member whose array or object is open: where it began, and the depth
    // outside it.
    std::size_t raw_target_ = kNoMember;
    std::size_t raw_begin_ = 0;
    std::size_t raw_depth_ = 0;
    std::string scratch_;
    TopLevelMembers members_;
    JsonError error_ = JsonError::expected_value;
    std::size_t error_end_ = 0;
};

}  // namespace

Result<TopLevelMembers> read_top_level_members(std::string_view text,
                                               std::span<const std::string_view> wanted) {
    return Reader(text, wanted).run();
}

Result<ReplyMembers> read_reply_json(std::string_view text) {
    static constexpr std::string_view kReplyMembers[] = {"verdict", "message"};
    Result<TopLevelMembers> read = read_top_level_members(text, kReplyMembers);
    if (!read) {
        return std::move(read).take_failure();
    }
    TopLevelMembers& members = read.value();
    ReplyMembers reply;
    reply.is_object = members.is_object;
    // Only a string counts; a member of any other type is as good as absent.
    for (std::size_t i = 0; i < 2; ++i) {
        std::optional<MemberValue>& value = members.values[i];
        if (value && value->type == MemberValue::Type::string) {
            (i == 0 ? reply.verdict : reply.message) = std::move(value->text);
        }
    }
    return reply;
}

}  // namespace latchwork
