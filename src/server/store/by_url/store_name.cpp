// store_name.cpp: what a --store URL is called on screen, and which kind of store it names.
#include "server/store/by_url/store_name.h"

namespace latchwork::server {
namespace {

constexpr std::string_view kMask = "***";

// Masks the value of every password=... parameter in the query part.
std::string mask_query_passwords(std::string text) {
    const std::size_t query = text.find('?');
    if (query == std::string::npos) return text;
    std::size_t at = query + 1;
    while (at < text.size()) {
        std::size_t end = text.find('&', at);
        if (end == std::string::npos) end = text.size();
        constexpr std::string_view kKey = "password=";
        if (std::string_view(text).substr(at, end - at).starts_with(kKey)) {
            const std::size_t value = at + kKey.size();
            text.replace(value, end - value, kMask);
            end = value + kMask.size();
        }
        at = end + 1;
    }
    return text;
}

}  // namespace

bool is_postgresql_url(std::string_view url) noexcept {
    return url.starts_with("postgresql://") || url.starts_with("postgres://");
}

std::string shown_store_url(std::string_view url) {
    std::string text(url);
    if (!is_postgresql_url(url)) return text;
    const std::size_t authority = text.find("://") + 3;
    std::size_t authority_end = text.find_first_of("/?", authority);
    if (authority_end == std::string::npos) authority_end = text.size();
    // user:password@host: the password runs from the first ':' to the last '@'.
    const std::size_t at_sign = text.rfind('@', authority_end);
    if (at_sign != std::string::npos && at_sign >= authority) {
        const std::size_t colon = text.find(':', authority);
        if (colon != std::string::npos && colon < at_sign) {
            text.replace(colon + 1, at_sign - colon - 1, kMask);
        }
    }
    return mask_query_passwords(std::move(text));
}

}  // namespace latchwork::server
