// store_name.h: what a --store URL is called on screen, and which kind of store it names.
#pragma once

#include <string>
#include <string_view>

namespace latchwork::server {

// postgresql://... or postgres://..., libpq's two URI prefixes.
bool is_postgresql_url(std::string_view url) noexcept;

// The URL with any password in it (user:PASSWORD@ or password=...) replaced by "***",
// for start-up lines and messages that end up in logs.
std::string shown_store_url(std::string_view url);

}  // namespace latchwork::server
