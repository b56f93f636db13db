// console_state.cpp: what the console knows beyond the ledger: held order, counters, events.
#include "server/console/console_state.h"

#include <boost/json.hpp>

#include <chrono>

#include "server/console/detail_value.h"

namespace latchwork::server {
namespace json = boost::json;
using Kind = StateChange::Kind;

namespace {

std::string event_text(std::string_view name, const json::object& data) {
    std::string text = "event: ";
    text += name;
    text += "\ndata: ";
    text += json::serialize(data);  // one line: serialize never writes a raw line feed
    text += "\n\n";
    return text;
}

}  // namespace

void ConsoleState::handled(const Decision& decision) {
    const Request* request = decision.request;
    const std::string_view verdict = decision.verdict;
    const DecisionSource& source = decision.source;
    const std::span<const StateChange> changes = decision.changes;
    if (decision.elsewhere && request == nullptr) {
        // Another server's changes may have been missed: the page reads again.
        waiting_events_.push_back(ConsoleEvent{0, event_text("resync", json::object{{"at", unix_time_ms()}})});
        release_events(store_.durable());
        return;
    }
    // Requests another server took are its own to count.
    if (!decision.elsewhere) {
        const std::string op = request == nullptr ? "unreadable" : std::string(operation_name(request->op));
        ++requests_[{op, std::string(verdict)}];
    }
    if (changes.empty()) return;
    const std::int64_t now = unix_time_ms();
    for (const StateChange& change : changes) {
        json::object data;
        data["run_id"] = change.run_id;
        std::string_view name;
        switch (change.kind) {
            case Kind::effect_state:
                data["effect_key"] = change.effect_key;
                if (change.state == EffectState::pending) {
                    name = "held";
                    data["held_at"] = decision.at_ms;
                    if (decision.deadline_ms != 0) data["deadline"] = decision.deadline_ms;
                    data["detail"] = detail_value(change.detail);
                    break;
                }
                if (change.state == EffectState::approved) {
                    name = "approved";
                    approved_.insert({change.run_id, change.effect_key});
                    data["approver"] = source.who;
                    data["reason"] = source.reason;
                    data["at"] = now;
                    break;
                }
                if (request != nullptr && request->op == Operation::submit) {
                    // A submit that releases at once decided nothing a person waits on;
                    // one that takes what a person approved ends that wait.
                    const bool was_approved = approved_.erase({change.run_id, change.effect_key}) > 0;
                    if (change.state != EffectState::released || !(was_approved || request->flag)) {
                        continue;
                    }
                    name = "taken";
                    data["at"] = now;
                    break;
                }
                if (request == nullptr || request->op != Operation::decide) continue;
                if (source.door == DecisionSource::Door::expiry) {
                    name = "expired";
                    data["verdict"] = verdict;
                    data["at"] = now;
                    break;
                }
                name = "decided";
                data["approved"] = change.state == EffectState::released;
                data["verdict"] = verdict;
                // Empty for a line-protocol decision, as the page expects.
                data["approver"] = source.door == DecisionSource::Door::console ? source.who : "";
                data["reason"] = source.door == DecisionSource::Door::console ? source.reason : "";
                data["at"] = now;
                break;
            case Kind::run_cancelled:
            case Kind::run_closed:
                name = change.kind == Kind::run_cancelled ? "cancelled" : "closed";
                forget_approved_of(change.run_id);
                data["at"] = now;
                break;
        }
        // Another server's decisions are durable already and carry batch 0: they go
        // as soon as nothing of this server's waits before them.
        waiting_events_.push_back(ConsoleEvent{decision.batch, event_text(name, data)});
    }
    // A store that is durable on record lets them go now; others call back later.
    release_events(store_.durable());
}

void ConsoleState::forget_approved_of(const std::string& run_id) {
    auto first = approved_.lower_bound({run_id, std::string()});
    auto last = first;
    while (last != approved_.end() && last->first == run_id) ++last;
    approved_.erase(first, last);
}

void ConsoleState::release_events(std::uint64_t durable) {
    while (!waiting_events_.empty() && waiting_events_.front().batch <= durable) {
        if (event_listener_) event_listener_(waiting_events_.front().text);
        waiting_events_.pop_front();
    }
}

void ConsoleState::count_refusal(std::string_view op, unsigned status) {
    ++refusals_[{std::string(op), status}];
}

}  // namespace latchwork::server
