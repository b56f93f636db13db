// console_counters.h: the console's request counters, and when to look for events.
//
// It watches every request either door hands the request handler, so the request
// counters cover the line protocol and the console alike. The events themselves are
// read from the audit log (event_feed.h); this only says when there may be new ones.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "server/store/request_handler.h"

namespace latchwork::server {

class ConsoleCounters final : public RequestObserver {
public:
    void handled(const Decision& decision) override;

    // Called after a request changed something (its entries are readable once its
    // batch is durable) or another server's changes arrived; `missed` when some of
    // those may not have been heard.
    void set_change_listener(std::function<void(bool missed)> listener) {
        change_listener_ = std::move(listener);
    }

    // Counts one console call that never reached the handler (refused at the door).
    void count_refusal(std::string_view op, unsigned status);

    // (operation, verdict) -> requests.
    const std::map<std::pair<std::string, std::string>, std::uint64_t>& requests() const {
        return requests_;
    }
    const std::map<std::pair<std::string, unsigned>, std::uint64_t>& refusals() const {
        return refusals_;
    }

private:
    std::map<std::pair<std::string, std::string>, std::uint64_t> requests_;
    std::map<std::pair<std::string, unsigned>, std::uint64_t> refusals_;
    std::function<void(bool missed)> change_listener_;
};


}  // namespace latchwork::server
