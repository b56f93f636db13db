// reply.h: turning one reply line into a verdict kind or the exchange's failure text.
#pragma once

#include <string>
#include <string_view>

#include "support/result.h"

namespace latchwork {

// Interprets one reply line as read (valid UTF-8, line feed included when there was
// one): trims White_Space at both ends, parses the rest as one JSON value and
// yields its "verdict" string as the kind, or fails with "bad gate reply ...",
// "gate reply missing verdict: ..." or "gate error: ...".
Result<std::string> interpret_reply(std::string_view raw_line);

}  // namespace latchwork
