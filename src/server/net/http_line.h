// http_line.h: telling an HTTP message's first line from a request line.
#pragma once

#include <string_view>

namespace latchwork::server {

// True for a line that opens an HTTP message: a method token, a space and a target
// ("POST / HTTP/1.1", "GET /x"), or a line that starts or ends with "HTTP/1." and a
// digit (a status line, or a request line with an odd method). A request line is a
// JSON object, which opens with "{" or white space, so none is ever taken for HTTP.
bool looks_like_http(std::string_view line) noexcept;

}  // namespace latchwork::server
