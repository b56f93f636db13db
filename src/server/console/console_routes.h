// console_routes.h: what each console URL answers, decided on the network thread.
#pragma once

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/json/value.hpp>

#include "server/console/approvers.h"
#include "server/console/chat_actions.h"
#include "server/console/console_counters.h"
#include "server/core/effect_rules.h"
#include "server/core/rules_in_force.h"
#include "server/notify/notifier.h"
#include "server/store/request_handler.h"
#include "server/store/store.h"

namespace latchwork::server {

// One HTTP request as the routes need it.
struct HttpCall {
    std::string_view method;
    std::string_view target;         // path and query, still percent-encoded
    std::string_view authorization;  // the Authorization header, empty when absent
    std::string_view content_type;
    std::string_view body;
    // The chat platform's signature of a callback and the time it was signed.
    std::string_view chat_signature;
    std::string_view chat_timestamp;
};

// A decision clicked in a chat message: where its outcome is told, and what it was.
struct ChatAnswer {
    NotifyTarget respond_to;
    std::string approver;
    std::string run_id;
    std::string effect_key;
};

struct HttpReply {
    unsigned status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::uint64_t wait_for = 0;  // the store batch that must be durable before it leaves
    bool event_stream = false;   // the caller turns the connection into an event stream
    std::string allow;           // for 405: the methods the resource takes
    // A decision of the store: the reply is made from what it says once wait_for is
    // durable, by ConsoleRoutes::finish().
    std::shared_ptr<const Reply> decision;
    // A person's decision of this effect: an "already decided" verdict becomes a 409
    // that says who decided it (finish()).
    std::optional<std::pair<std::string, std::string>> decided_effect;  // (run id, key)
    // A revoke: the body is {"revoked": ID} once it is durable.
    std::optional<std::string> revoked_grant;
    // A chat click: its outcome goes to the chat, the platform is answered 200 (finish()).
    std::optional<ChatAnswer> chat;
};

// An error reply: {"error": TEXT} with its status.
HttpReply error_reply(unsigned status, std::string_view text);

// What this server saw of the workers of one waiting effect.
struct WorkerSeen {
    std::optional<std::int64_t> last_asked;  // Unix ms of the last submit of it here
    std::size_t waiting = 0;                 // submits waiting on it here now
};
using WorkerWatch = std::function<WorkerSeen(std::string_view run_id, std::string_view effect_key)>;

class ConsoleRoutes {
public:
    // `approvers` null: every /api call is taken without a token (checked at start-up
    // to be allowed only on loopback without a decision secret).
    // `hello_failures` counts the line port's wrong hellos.
    ConsoleRoutes(RequestHandler& handler, Store& store, ConsoleCounters& counters,
                  const Approvers* approvers, std::function<std::string()> connection_gauges,
                  std::function<std::uint64_t()> hello_failures)
        : handler_(handler),
          store_(store),
          counters_(counters),
          approvers_(approvers),
          connection_gauges_(std::move(connection_gauges)),
          hello_failures_(std::move(hello_failures)) {}

    // What the store is asked is read off the network thread; the views of `call`
    // must live until the reply is made.
    boost::asio::awaitable<HttpReply> route(const HttpCall& call);
    // The reply as it leaves, once durable() has reached its wait_for: a decision's
    // verdict as its body (an error becomes 503 with its message, 403 for a person the
    // effect's rule does not let decide it), and a person's
    // decision that came too late answered with who made the one that counts.
    boost::asio::awaitable<HttpReply> finish(HttpReply reply);
    // Webhook deliveries, for /metrics and /api/notifications; null: none are sent.
    void set_notifier(const Notifier* notifier) noexcept { notifier_ = notifier; }
    // The server's rules, for who may decide what /api/pending lists and for the rule
    // matches /metrics counts; null: none.
    void set_rules(const RulesInForce* rules) noexcept { rules_ = rules; }
    void set_worker_watch(WorkerWatch watch) { worker_watch_ = std::move(watch); }
    // Takes the chat platform's callbacks at /chat/actions; null: not served.
    void set_chat(ChatActions* chat) noexcept { chat_ = chat; }
    // The longest a grant lasts: a longer "for" is cut to it.
    void set_max_grant(std::chrono::milliseconds longest) noexcept { max_grant_ms_ = longest.count(); }
    // True when every /api call is taken without a token.
    bool open_without_token() const noexcept { return approvers_ == nullptr; }
    // True when `authorization` is "Bearer " and the token of an approver or viewer.
    bool valid_token(std::string_view authorization) const {
        return approver_of(authorization).has_value();
    }

private:
    boost::asio::awaitable<HttpReply> api(const HttpCall& call, std::string_view path,
                                          std::string_view query, const ConsoleUser& user);
    boost::asio::awaitable<HttpReply> pending(std::string_view query);
    boost::asio::awaitable<HttpReply> run(const std::string& run_id, std::string_view query_text);
    boost::asio::awaitable<HttpReply> audit(std::string_view query);
    HttpReply decide(const HttpCall& call, const std::string& approver);
    boost::asio::awaitable<HttpReply> chat_action(const HttpCall& call);
    boost::asio::awaitable<HttpReply> chat_outcome(HttpReply reply);
    HttpReply stop_run(Operation op, const std::string& run_id, const std::string& approver);
    boost::asio::awaitable<HttpReply> grants();
    std::variant<GrantAsk, HttpReply> grant_ask(const boost::json::value& remember, bool approved) const;
    HttpReply revoke_grant(const std::string& id, const std::string& approver);
    boost::asio::awaitable<HttpReply> metrics();

    RequestHandler& handler_;
    Store& store_;
    ConsoleCounters& counters_;
    const Approvers* approvers_;
    std::optional<ConsoleUser> approver_of(std::string_view authorization) const {
        constexpr std::string_view kBearer = "Bearer ";
        if (approvers_ == nullptr || !authorization.starts_with(kBearer)) return std::nullopt;
        return approvers_->find(authorization.substr(kBearer.size()));
    }
    std::function<std::string()> connection_gauges_;
    std::function<std::uint64_t()> hello_failures_;
    const Notifier* notifier_ = nullptr;
    const RulesInForce* rules_ = nullptr;
    WorkerWatch worker_watch_;
    ChatActions* chat_ = nullptr;
    std::int64_t max_grant_ms_ = 24 * 60 * 60 * 1000;
};

}  // namespace latchwork::server
