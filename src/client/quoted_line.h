// quoted_line.h: the quoted, escaped form of a reply line shown in failure messages.
#pragma once

#include <string>
#include <string_view>

namespace latchwork {

// '"' + line + '"' with '"' and '\' backslash-escaped, tab, carriage return, line
// feed and NUL as \t \r \n \0, every other character that needs it (see
// needs_quoted_escape) as \u{hex}, and everything else, the single quote included,
// as it stands. `line` is expected to be UTF-8; a malformed byte is shown as \xHH
// so that any input gives a readable result.
std::string quoted_line(std::string_view line);

}  // namespace latchwork
