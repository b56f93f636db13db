// reply_writer.h: the reply lines the server sends, compact JSON with sorted members.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace latchwork::server {

// Every line ends with a line feed; members stand in ascending byte order of their names.
std::string verdict_reply(std::string_view kind);  // {"verdict":KIND}
std::string flag_reply(bool value);                 // {"value":true|false,"verdict":"ok"}
std::string count_reply(std::uint64_t value);       // {"value":N,"verdict":"ok"}
std::string error_reply(std::string_view message);  // {"message":TEXT,"verdict":"error"}
std::string hello_reply(std::string_view client);   // {"client":NAME,"verdict":"ok"}

}  // namespace latchwork::server
