// console.cpp: the approval console as one piece: its state, its routes, its listener.
#include "server/console/console.h"

#include <utility>

#include "server/net/line_access.h"

namespace latchwork::server {

Result<std::optional<Approvers>> console_approvers(const boost::asio::ip::tcp::endpoint& at,
                                                   const std::optional<std::string>& approvers_file,
                                                   bool has_secret, std::string& open_warning) {
    if (approvers_file) {
        Result<Approvers> loaded = load_approvers(*approvers_file);
        if (!loaded) return std::move(loaded).take_failure();
        return std::optional<Approvers>(std::move(loaded).value());
    }
    if (!at.address().is_loopback() || has_secret) {
        return Failure{
            "--console needs --approvers unless it listens on a loopback address and the "
            "server has no --secret-file"};
    }
    open_warning =
        "no --approvers: the console takes every call without a token (loopback only)";
    return std::optional<Approvers>();
}

Console::Console(boost::asio::io_context& io, RequestHandler& handler, Store& store,
                 GateServer& gate_server, std::optional<Approvers> approvers, ConsoleLimits limits)
    : io_(io),
      handler_(handler),
      gate_server_(gate_server),
      approvers_(std::move(approvers)),
      routes_(handler, store, counters_, approvers_ ? &*approvers_ : nullptr,
              [this] {
                  return "latchwork_open_connections{door=\"line\"} " +
                         std::to_string(gate_server_.connection_count()) +
                         "\nlatchwork_open_connections{door=\"console\"} " +
                         std::to_string(server_.connection_count()) + "\n";
              },
              [this]() -> std::uint64_t {
                  const LineAccess* access = std::as_const(gate_server_).line_access();
                  return access != nullptr ? access->hello_failures() : 0;
              }),
      server_(io, routes_, counters_, store, limits) {
    handler_.add_observer(&counters_);
    handler_.add_observer(&asked_at_);
    routes_.set_worker_watch([this](std::string_view run_id, std::string_view effect_key) {
        return WorkerSeen{asked_at_.last(run_id, effect_key),
                          std::as_const(gate_server_).submit_waits().waiting_on(run_id, effect_key)};
    });
    gate_server_.set_durable_watcher([this] { server_.durable_advanced(); });
    gate_server_.set_stop_watcher([this] { server_.stop(); });
}

Console::~Console() {
    if (chat_ != nullptr) handler_.remove_observer(chat_);
    gate_server_.set_stop_watcher({});
    gate_server_.set_durable_watcher({});
    handler_.remove_observer(&asked_at_);
    handler_.remove_observer(&counters_);
}

void Console::set_chat(ChatActions* chat) {
    if (chat_ != nullptr) handler_.remove_observer(chat_);
    chat_ = chat;
    routes_.set_chat(chat);
    if (chat_ == nullptr) return;
    chat_->set_executor(io_.get_executor());
    handler_.add_observer(chat_);
}

Result<boost::asio::ip::tcp::endpoint> Console::listen(const boost::asio::ip::tcp::endpoint& at) {
    return server_.listen(at);
}

}  // namespace latchwork::server
