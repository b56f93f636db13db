// console_state.h: what the console knows beyond the ledger: held order, counters, events.
//
// It watches every request either door hands the request handler, so the request
// counters and the event stream cover the line protocol and the console alike. Events carry the store batch they report and are released only once that
// batch is durable: an approver is never told of a change that might still be lost.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "server/store/request_handler.h"

namespace latchwork::server {

// One Server-Sent Event, already in its wire form.
struct ConsoleEvent {
    std::uint64_t batch = 0;
    std::string text;  // "event: NAME\ndata: JSON\n\n"
};

class ConsoleState final : public RequestObserver {
public:
    explicit ConsoleState(const Store& store) : store_(store) {}

    void handled(const Decision& decision) override;

    // Hands every event whose batch is at most `durable` to the listener, in order.
    void release_events(std::uint64_t durable);
    void set_event_listener(std::function<void(const std::string&)> listener) {
        event_listener_ = std::move(listener);
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
    void forget_approved_of(const std::string& run_id);

    const Store& store_;
    // Effects approved for their submitters, as heard here: a submit that releases one
    // is a taking. (A submit that needs approval and releases is one too, which covers
    // approvals made before this server started.)
    std::set<std::pair<std::string, std::string>> approved_;
    std::map<std::pair<std::string, std::string>, std::uint64_t> requests_;
    std::map<std::pair<std::string, unsigned>, std::uint64_t> refusals_;
    std::deque<ConsoleEvent> waiting_events_;
    std::function<void(const std::string&)> event_listener_;
};


}  // namespace latchwork::server
