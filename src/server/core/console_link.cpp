// console_link.cpp: where the console shows an effect, for notifications and held replies.
#include "server/core/console_link.h"

#include <cstdio>

namespace latchwork::server {
namespace {

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string percent_encoded(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (unreserved(c)) {
            out += static_cast<char>(c);
        } else {
            char triple[4];
            std::snprintf(triple, sizeof triple, "%%%02X", c);
            out += triple;
        }
    }
    return out;
}

}  // namespace

std::string console_link(std::string_view console_url, std::string_view run_id,
                         std::string_view effect_key) {
    if (console_url.empty()) return {};
    std::string link(console_url);
    while (!link.empty() && link.back() == '/') link.pop_back();
    // The console's own deep link to one effect; a run's events open the run.
    if (effect_key.empty()) return link + "/?run=" + percent_encoded(run_id);
    return link + "/#/effect/" + percent_encoded(run_id) + "/" + percent_encoded(effect_key);
}

}  // namespace latchwork::server
