// console_assets.cpp: the console page, its script and its style, built into the program.
//
// The three files live in src/server/http/console/ and are pulled in as raw string
// literals, so the program carries them and nothing is fetched from elsewhere.
#include "server/http/console_assets.h"

namespace latchwork::server {
namespace {

constexpr std::string_view kPage =
#include "server/http/console/console.html.inc"
    ;
constexpr std::string_view kScript =
#include "server/http/console/console.js.inc"
    ;
constexpr std::string_view kStyle =
#include "server/http/console/console.css.inc"
    ;

constexpr ConsoleAsset kAssets[] = {
    {"text/html; charset=utf-8", kPage},
    {"text/javascript; charset=utf-8", kScript},
    {"text/css; charset=utf-8", kStyle},
};

}  // namespace

const ConsoleAsset* find_console_asset(std::string_view path) {
    if (path == "/" || path == "/index.html") return &kAssets[0];
    if (path == "/console.js") return &kAssets[1];
    if (path == "/console.css") return &kAssets[2];
    return nullptr;
}

}  // namespace latchwork::server
