// bound_options.cpp: the serve options that bound what one peer, or time, can make the server keep.
#include "server/cli/bound_options.h"

#include <CLI/CLI.hpp>

#include "server/cli/duration_text.h"

namespace latchwork::server {

void BoundOptions::add_to(CLI::App& serve, ServeBounds& bounds) {
    serve.add_option("--audit-retention", audit_retention_,
                     "prune audit entries older than DURATION, in the background (default 720h, "
                     "30 days)");
    serve.add_option("--audit-max-entries", bounds.audit_max_entries,
                     "the memory store keeps at most this many audit entries, dropping the oldest")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serve.add_option("--idle-timeout", idle_timeout_,
                     "close a line-protocol connection that sends no request for DURATION "
                     "(off by default: GateClient does not reconnect)");
    serve.add_option("--line-timeout", line_timeout_,
                     "close a connection whose request line is not finished within DURATION "
                     "(default 10s)");
    serve.add_option("--write-timeout", write_timeout_,
                     "close a connection, or a console event stream, whose client takes no "
                     "reply for DURATION while one is being sent (default 30s)");
    serve.add_option("--max-connections-per-peer", bounds.max_connections_per_peer,
                     "line-port connections one IP address may hold; more are closed at once")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serve.add_option("--console-max-connections-per-peer", bounds.console_max_connections_per_peer,
                     "console connections one IP address may hold; more are closed at once")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serve.add_option("--console-max-connections", bounds.console_max_connections,
                     "console connections at once; a tenth of them is kept for requests that "
                     "carry an approver's bearer token")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serve.add_option("--max-subscribers", bounds.max_subscribers,
                     "console event streams (GET /api/events) at once; more are answered 503")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    // Not in --help: only tests want a heartbeat sooner than a proxy's idle limit.
    serve.add_option("--event-heartbeat", event_heartbeat_,
                     "send a keep-alive comment on an idle event stream every DURATION (15s)")
        ->group("");
    serve.add_option("--store-timeout", store_timeout_,
                     "fail a call to a postgresql:// store's database that takes longer than "
                     "DURATION, answering its requests with errors (default 5s); other stores "
                     "ignore it");
    serve.add_option("--console-header-timeout", header_timeout_,
                     "close a console connection whose request headers take longer than DURATION "
                     "(default 10s)");
}

std::optional<std::string> BoundOptions::read(ServeBounds& bounds) const {
    const auto take = read_duration_option;
    if (auto bad = take(audit_retention_, "--audit-retention", bounds.audit_retention)) return bad;
    if (auto bad = take(idle_timeout_, "--idle-timeout", bounds.idle_timeout)) return bad;
    if (auto bad = take(line_timeout_, "--line-timeout", bounds.line_timeout)) return bad;
    if (auto bad = take(write_timeout_, "--write-timeout", bounds.write_timeout)) return bad;
    if (auto bad = take(header_timeout_, "--console-header-timeout", bounds.console_header_timeout)) {
        return bad;
    }
    if (auto bad = take(event_heartbeat_, "--event-heartbeat", bounds.event_heartbeat)) return bad;
    if (auto bad = take(store_timeout_, "--store-timeout", bounds.store_timeout)) return bad;
    return std::nullopt;
}

}  // namespace latchwork::server
