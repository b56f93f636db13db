// loopback_guard.h: what the console without tokens takes only from its own page.
#pragma once

#include <optional>
#include <string_view>

#include "server/console/console_routes.h"

namespace latchwork::server {

// The parts of a request the guard looks at; empty when a header is absent.
struct CallOrigin {
    std::string_view method;
    std::string_view host;          // the Host header
    std::string_view origin;        // the Origin header
    std::string_view content_type;  // the Content-Type header
};

// For the console that takes calls without a token (it listens on loopback only):
// the refusal of a call a browser may have sent on another site's behalf, or nullopt.
// `port` is the console's own. Refused:
//  - a Host that is not a loopback name or address with this port (DNS rebinding:
//    another site's name that resolves to 127.0.0.1 must not reach the console);
//  - an Origin other than this console's own (a page on another origin, another
//    local port included);
//  - a POST whose body is not declared application/json, the one type a page on
//    another origin cannot send without the browser asking the console first.
std::optional<HttpReply> refuse_foreign_call(const CallOrigin& call, unsigned short port);

}  // namespace latchwork::server
