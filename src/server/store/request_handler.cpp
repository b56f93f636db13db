// request_handler.cpp: the door of every request: read, checked, and handed to the store.
#include "server/store/request_handler.h"

#include "hmac/decision_tag.h"
#include "server/core/reply_writer.h"
#include "server/core/request_errors.h"
#include "support/constant_time.h"

namespace latchwork::server {
namespace {

bool authenticated(const SecretBytes* secret, const Request& request) {
    if (secret == nullptr) return true;
    if (!request.mac) return false;
    const std::string expected =
        compute_decision_tag(secret->view(), request.run_id, request.effect_key, request.flag);
    return constant_time_equal(expected, *request.mac);
}

}  // namespace

RequestHandler::RequestHandler(Store& store, const SecretBytes* secret)
    : store_(store), secret_(secret) {
    store_.set_decided_listener([this](const Decision& decision) {
        tell(decision);
    });
}

RequestHandler::~RequestHandler() { store_.set_decided_listener({}); }

void RequestHandler::add_observer(RequestObserver* observer) { observers_.push_back(observer); }

void RequestHandler::remove_observer(RequestObserver* observer) {
    std::erase(observers_, observer);
}

void RequestHandler::tell(const Decision& decision) {
    for (RequestObserver* observer : observers_) observer->handled(decision);
}

Answer RequestHandler::refuse(const Request* request, std::string message,
                              const DecisionSource& source) {
    tell(Decision{request, "error", {}, source});
    return Answer{refusal(std::move(message)), 0};
}

Answer RequestHandler::handle(std::string_view line, std::string_view peer) {
    return decide_line(line, DecisionSource::Door::line, peer, nullptr);
}

Answer RequestHandler::handle(std::string_view line, const Peer& peer) {
    if (peer.client) {
        return decide_line(line, DecisionSource::Door::client, peer.client->name, &*peer.client);
    }
    return decide_line(line, DecisionSource::Door::line, peer.address, nullptr);
}

Answer RequestHandler::decide_line(std::string_view line, DecisionSource::Door door,
                                   std::string_view peer, const HelloClient* client) {
    const DecisionSource unread{door, peer, false, {}};
    // After a failed commit the ledger may be ahead of the disk: no verdict is safe.
    if (const Failure* failed = store_.failure()) return refuse(nullptr, failed->message, unread);
    Result<Request> parsed = parse_request(line, limits_);
    if (!parsed) return refuse(nullptr, parsed.error(), unread);
    const Request& request = parsed.value();
    // Before the tag is looked at: a client without the scope learns nothing more.
    if (client != nullptr && !scopes_allow(client->scopes, request.op)) {
        return refuse(&request, out_of_scope_message(client->name, request.op), unread);
    }
    const bool decide = request.op == Operation::decide;
    if (decide && !authenticated(secret_, request)) {
        return refuse(&request, std::string(not_authenticated_message()), unread);
    }
    // A tag names its effect by ids joined with line feeds: under a secret, an id with
    // one could make a tag for one effect fit another.
    if (secret_ != nullptr) {
        if (std::optional<std::string> refused = refuse_line_feed_ids(request)) {
            return refuse(&request, std::move(*refused), unread);
        }
    }
    const DecisionSource source{door, peer, decide && secret_ != nullptr, {}};
    if (request.op == Operation::ping) {
        // Reflects no state at all.
        tell(Decision{&request, "pong", {}, source});
        Reply pong{verdict_reply("pong"), {}};
        pong.verdict.kind = ReplyVerdict::Kind::pong;
        return Answer{std::move(pong), 0};
    }
    Answer answer = store_.answer(request, source);
    if (request.op == Operation::submit && request.wait_ms != 0) {
        answer.waits = std::make_shared<const Request>(std::move(parsed).value());
    }
    return answer;
}

DecisionSource RequestHandler::source_of(const Peer& peer) {
    if (peer.client) return DecisionSource{DecisionSource::Door::client, peer.client->name, false, {}};
    return DecisionSource{DecisionSource::Door::line, peer.address, false, {}};
}

Answer RequestHandler::handle_verified(const Request& request, const DecisionSource& source) {
    if (const Failure* failed = store_.failure()) return refuse(&request, failed->message, source);
    return store_.answer(request, source);
}

}  // namespace latchwork::server
