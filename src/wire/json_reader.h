// json_reader.h: strict reader of one JSON text, keeping the top-level members asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace latchwork {

// Arrays and objects may nest this deep (the outermost counted); one more is an error.
inline constexpr std::size_t kMaxJsonDepth = 127;

// What a well-formed reply text says about the members the client consults.
struct ReplyMembers {
    bool is_object = false;              // the value is an object
    std::optional<std::string> verdict;  // its last "verdict" member, when that is a string
    std::optional<std::string> message;  // its last "message" member, when that is a string
};

// The last value a wanted top-level member had: strings decoded to UTF-8, booleans
// as such, anything else (number, null, array, object) only noted.
struct MemberValue {
    enum class Type : std::uint8_t { string, boolean, other };
    Type type = Type::other;
    std::string text;   // for a string
    bool flag = false;  // for a boolean
    // For a number, array or object: its text as it stands in the JSON text read.
    std::string_view raw;
};

struct TopLevelMembers {
    bool is_object = false;
    // One slot per wanted name, in the order asked for; empty when the member is absent.
    std::vector<std::optional<MemberValue>> values;
};

// Validates `text` as exactly one JSON value, as read_reply_json does, and keeps the
// last value of each top-level object member named in `wanted`. Fails with the same
// parser messages.
Result<TopLevelMembers> read_top_level_members(std::string_view text,
                                               std::span<const std::string_view> wanted);

// Validates `text` as exactly one JSON value (RFC 8259, JSON white space around it)
// and extracts the top-level "verdict" and "message" strings, escapes decoded to
// UTF-8. A failure carries the parser message: description + " at line " + line +
// " column " + column, where column is the 1-based byte position of the character
// at which the error was found (the text's length for an error at its end).
// The text is expected to be UTF-8 but any bytes are read safely.
Result<ReplyMembers> read_reply_json(std::string_view text);

}  // namespace latchwork
