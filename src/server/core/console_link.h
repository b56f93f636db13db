// console_link.h: where the console shows an effect, for notifications and held replies.
#pragma once

#include <string>
#include <string_view>

namespace latchwork::server {

// Where the console shows the effect: BASE/#/effect/RUN/KEY, or BASE/?run=RUN for an
// event of a whole run; ids percent-encoded.
// Empty without a base.
std::string console_link(std::string_view console_url, std::string_view run_id,
                         std::string_view effect_key);

}  // namespace latchwork::server
