// console_assets.h: the console page, its script and its style, built into the program,
// and the OpenAPI document of its HTTP API.
#pragma once

#include <string_view>

namespace latchwork::server {

struct ConsoleAsset {
    std::string_view content_type;
    std::string_view body;
};

// The asset served at `path` ("/", "/console.js", "/console.css"), or null.
const ConsoleAsset* find_console_asset(std::string_view path);

// The OpenAPI document of the console's HTTP API, served at /api/openapi.json.
const ConsoleAsset& openapi_document();

}  // namespace latchwork::server
