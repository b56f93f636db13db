// console_assets.cpp: the console page, its script and its style, built into the program,
// and the OpenAPI document of its HTTP API.
//
// The three page files live in src/server/console/page/ and are pulled in as raw string
// literals, so the program carries them and nothing is fetched from elsewhere. The
// document is src/server/console/openapi.json, made into such a literal by CMake.
#include "server/console/console_assets.h"

namespace latchwork::server {
namespace {

constexpr std::string_view kPage =
#include "server/console/page/console.html.inc"
    ;
constexpr std::string_view kScript =
#include "server/console/page/console.js.inc"
    ;
constexpr std::string_view kStyle =
#include "server/console/page/console.css.inc"
    ;

constexpr std::string_view kOpenApi =
#include "server/console/openapi.json.inc"
    ;

constexpr ConsoleAsset kAssets[] = {
    {"text/html; charset=utf-8", kPage},
    {"text/javascript; charset=utf-8", kScript},
    {"text/css; charset=utf-8", kStyle},
};
constexpr ConsoleAsset kOpenApiAsset{"application/json", kOpenApi};

}  // namespace

const ConsoleAsset* find_console_asset(std::string_view path) {
    if (path == "/" || path == "/index.html") return &kAssets[0];
    if (path == "/console.js") return &kAssets[1];
    if (path == "/console.css") return &kAssets[2];
    return nullptr;
}

const ConsoleAsset& openapi_document() { return kOpenApiAsset; }

}  // namespace latchwork::server
