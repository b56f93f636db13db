// http_line_test.cpp: the first lines of HTTP messages told from request lines.
#include <gtest/gtest.h>

#include <string_view>

#include "server/net/http_line.h"

namespace latchwork::server {
namespace {

TEST(LooksLikeHttp, TakesRequestAndStatusLines) {
    for (std::string_view line : {"POST / HTTP/1.1\r", "GET /x HTTP/1.0", "OPTIONS * HTTP/1.1",
                                  "CONNECT host:443 HTTP/1.1", "PUT /x", "M-SEARCH * HTTP/1.1",
                                  "HTTP/1.1 200 OK", "\x01 odd HTTP/1.1", "x y"}) {
        EXPECT_TRUE(looks_like_http(line)) << line;
    }
}

TEST(LooksLikeHttp, NeverTakesARequestLine) {
    for (std::string_view line :
         {R"({"op":"ping"})", R"( {"op":"ping"})", "{\"run_id\":\"GET / HTTP/1.1\"}\r", "",
          "\r", "GET", "GET ", "GET  /", "GET \x7f", "HTTP/1.", "HTTP/2 200", "nonsense"}) {
        EXPECT_FALSE(looks_like_http(line)) << line;
    }
}

}  // namespace
}  // namespace latchwork::server
