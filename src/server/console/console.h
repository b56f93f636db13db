// console.h: the approval console as one piece: its state, its routes, its listener.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <optional>
#include <string>

#include "server/net/gate_server.h"
#include "server/store/asked_at.h"
#include "server/console/approvers.h"
#include "server/console/console_routes.h"
#include "server/console/console_server.h"
#include "server/console/console_counters.h"
#include "server/store/request_handler.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

// Who may call the console at `at`: the approvers of `approvers_file`, or, without
// one, anybody, but only on a loopback address of a server that takes unauthenticated
// decisions anyway (`open_warning` then says so). Otherwise a refusal.
Result<std::optional<Approvers>> console_approvers(const boost::asio::ip::tcp::endpoint& at,
                                                   const std::optional<std::string>& approvers_file,
                                                   bool has_secret, std::string& open_warning);

// Watches the handler and the line-protocol server for as long as it lives.
class Console {
public:
    Console(boost::asio::io_context& io, RequestHandler& handler, Store& store,
            GateServer& gate_server, std::optional<Approvers> approvers, ConsoleLimits limits = {});
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    Result<boost::asio::ip::tcp::endpoint> listen(const boost::asio::ip::tcp::endpoint& at);
    void start() { server_.start(); }
    void set_notifier(const Notifier* notifier) noexcept { routes_.set_notifier(notifier); }
    void set_rules(const RulesInForce* rules) noexcept { routes_.set_rules(rules); }
    void set_max_grant(std::chrono::milliseconds longest) noexcept { routes_.set_max_grant(longest); }
    // Serves /chat/actions with `chat`, which must outlive the console.
    void set_chat(ChatActions* chat);

private:
    boost::asio::io_context& io_;
    RequestHandler& handler_;
    GateServer& gate_server_;
    std::optional<Approvers> approvers_;
    ConsoleCounters counters_;
    AskedAt asked_at_;  // when each waiting effect's worker last asked, for the page
    ChatActions* chat_ = nullptr;  // watches for the takes of approvals clicked in the chat
    ConsoleRoutes routes_;
    ConsoleServer server_;
};

}  // namespace latchwork::server
