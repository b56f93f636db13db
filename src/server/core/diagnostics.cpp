// diagnostics.cpp: the server's lines on standard error, each with the program's name in front.
#include "server/core/diagnostics.h"

#include <iostream>

namespace latchwork::server {

void diagnose(std::string_view text) { std::cerr << "latchwork-gate: " << text << std::endl; }

}  // namespace latchwork::server
