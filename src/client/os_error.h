// os_error.h: the texts of operating-system and resolver errors in failure messages.
#pragma once

#include <string>

namespace latchwork {

// The system's description of error code `errnum` (an errno value on POSIX, a
// Windows or Windows Sockets error code on Windows, described by FormatMessageW),
// trailing white space removed, then " (os error " + errnum + ")".
std::string os_error_text(int errnum);

// The text of a getaddrinfo failure. POSIX resolver codes are not errno values, so
// they carry the resolver's own description alone; EAI_SYSTEM stands for the errno
// value `saved_errno` and gets its os_error_text. On Windows the resolver's codes
// are Windows Sockets error codes and get their os_error_text.
std::string resolver_error_text(int gai_code, int saved_errno);

}  // namespace latchwork
