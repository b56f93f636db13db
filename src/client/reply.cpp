// reply.cpp: turning one reply line into a verdict kind or the exchange's failure text.
#include "client/reply.h"

#include <utility>

#include "wire/json_reader.h"
#include "client/quoted_line.h"
#include "wire/utf8.h"

namespace latchwork {
namespace {

Failure bad_reply(std::string_view raw_line, const std::string& parser_message) {
    return Failure{"bad gate reply " + quoted_line(raw_line) + ": " + parser_message};
}

Failure missing_verdict(std::string_view raw_line) {
    return Failure{"gate reply missing verdict: " + quoted_line(raw_line)};
}

// The server's own message goes out verbatim, neither quoted nor escaped.
Failure gate_error(const std::optional<std::string>& message) {
    return Failure{"gate error: " + (message ? *message : std::string("?"))};
}

}  // namespace

Result<std::string> interpret_reply(std::string_view raw_line) {
    Result<ReplyMembers> parsed = read_reply_json(trim_white_space(raw_line));
    if (!parsed) {
        return bad_reply(raw_line, parsed.error());
    }
    ReplyMembers& members = parsed.value();
    if (!members.is_object || !members.verdict) {
        return missing_verdict(raw_line);
    }
    if (*members.verdict == "error") {
        return gate_error(members.message);
    }
    return std::move(*members.verdict);
}

}  // namespace latchwork
