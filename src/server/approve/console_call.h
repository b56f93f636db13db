// console_call.h: one HTTP(S) call to a running gate's console, for the approver commands.
#pragma once

#include <string>
#include <string_view>

#include "server/notify/notify_target.h"
#include "support/result.h"

namespace latchwork::server {

struct ConsoleAnswer {
    unsigned status = 0;
    std::string body;
};

// "http://HOST:PORT/" or "https://..."; a path given is where the console's URLs start.
Result<NotifyTarget> parse_console_url(std::string_view url);

// Sends METHOD `path` (relative to the console's own path) with the bearer token and,
// when `json_body` is not empty, that JSON; the failure is why no answer came back
// (resolving, connecting, TLS, a timeout), one line.
Result<ConsoleAnswer> call_console(const NotifyTarget& console, std::string_view method,
                                   std::string_view path, std::string_view token,
                                   const std::string& json_body = {});

}  // namespace latchwork::server
