// diagnostics.h: the server's lines on standard error, each with the program's name in front.
#pragma once

#include <string_view>

namespace latchwork::server {

// Writes "latchwork-gate: " + text + line feed to standard error, flushed.
void diagnose(std::string_view text);

}  // namespace latchwork::server
