// console_counters.cpp: the console's request counters, and when to look for events.
#include "server/console/console_counters.h"

namespace latchwork::server {

void ConsoleCounters::handled(const Decision& decision) {
    const Request* request = decision.request;
    if (decision.elsewhere && request == nullptr) {
        // Another server's changes may have been missed: the page reads again.
        if (change_listener_) change_listener_(true);
        return;
    }
    // Requests another server took are its own to count.
    if (!decision.elsewhere) {
        const std::string op = request == nullptr ? "unreadable" : std::string(operation_name(request->op));
        ++requests_[{op, std::string(decision.verdict)}];
    }
    if (!decision.changes.empty() && change_listener_) change_listener_(false);
}

void ConsoleCounters::count_refusal(std::string_view op, unsigned status) {
    ++refusals_[{std::string(op), status}];
}

}  // namespace latchwork::server
