// console_assets.h: the console page, its script and its style, built into the program.
#pragma once

#include <string_view>

namespace latchwork::server {

struct ConsoleAsset {
    std::string_view content_type;
    std::string_view body;
};

// The asset served at `path` ("/", "/console.js", "/console.css"), or null.
const ConsoleAsset* find_console_asset(std::string_view path);

}  // namespace latchwork::server
