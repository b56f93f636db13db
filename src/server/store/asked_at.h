// asked_at.h: when a submit of each waiting effect last reached this server.
//
// An approval whose worker gave up or died would otherwise look the same on the page
// as one its worker is about to take. What a server saw of its own line port is all it
// knows, so this is kept in memory only, never written, and says nothing of what other
// servers sharing the store heard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "server/store/request_handler.h"

namespace latchwork::server {

class AskedAt final : public RequestObserver {
public:
    // At most this many effects are remembered; a submit of another one beyond it is
    // not (its effect shows as never asked) until some of them are decided.
    static constexpr std::size_t kMaxEffects = 1 << 17;

    void handled(const Decision& decision) override;

    // Unix ms when a submit of the effect last reached this server while it waited.
    std::optional<std::int64_t> last(std::string_view run_id, std::string_view effect_key) const;
    std::size_t size() const noexcept { return size_; }

private:
    void forget(std::string_view run_id, std::string_view effect_key);
    void forget_run(std::string_view run_id);

    using Effects = std::map<std::string, std::int64_t, std::less<>>;
    std::map<std::string, Effects, std::less<>> by_run_;
    std::size_t size_ = 0;  // effects in by_run_
};

}  // namespace latchwork::server
