// json_reader.h: strict reader of one JSON reply text, keeping the members the client uses.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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

// Validates `text` as exactly one JSON value (RFC 8259, JSON white space around it)
// and extracts the top-level "verdict" and "message" strings, escapes decoded to
// UTF-8. A failure carries the parser message: description + " at line " + line +
// " column " + column, where column is the 1-based byte position of the character
// at which the error was found (the text's length for an error at its end).
// The text is expected to be UTF-8 but any bytes are read safely.
Result<ReplyMembers> read_reply_json(std::string_view text);

}  // namespace latchwork
