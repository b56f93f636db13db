// request_encoder.h: the JSON texts of the requests sent to a gate server.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace latchwork {

// Every text is compact JSON with members in ascending byte order of their names and
// no line feed at the end (the exchange sends that). run_id and effect_key are the
// caller's UTF-8 strings; they are escaped, never altered otherwise.

inline constexpr std::string_view kPingRequest = R"({"op":"ping"})";

std::string encode_submit(std::string_view run_id, std::string_view effect_key,
                          bool needs_approval);

// `mac` is the decision tag, present exactly when the client holds a secret.
std::string encode_decide(std::string_view run_id, std::string_view effect_key, bool approved,
                          std::optional<std::string_view> mac);

std::string encode_cancel(std::string_view run_id);

}  // namespace latchwork
