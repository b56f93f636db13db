// request_handler.h: the door of every request: read, checked, and handed to the store.
#pragma once

#include <string_view>
#include <vector>

#include "server/core/line_client.h"
#include "server/core/request.h"
#include "server/store/store.h"
#include "support/secret_bytes.h"

namespace latchwork::server {

// Told of every request handled, from either door, once the store has decided it:
// the refused ones included, and those the store decides on a thread of its own just
// before their batch's replies are released.
class RequestObserver {
public:
    virtual ~RequestObserver() = default;
    virtual void handled(const Decision& decision) = 0;
};

// Runs on the network thread.
class RequestHandler {
public:
    // Without a secret, decisions are taken unauthenticated and "mac" is ignored.
    RequestHandler(Store& store, const SecretBytes* secret);
    ~RequestHandler();
    RequestHandler(const RequestHandler&) = delete;
    RequestHandler& operator=(const RequestHandler&) = delete;

    // Parses, checks and decides one request line (without its line feed) sent by
    // `peer` ("IP:PORT", for the audit log). A refused request changes nothing and
    // waits for nothing. Once the store has failed, every request is refused with the
    // store's failure message.
    Answer handle(std::string_view line, std::string_view peer = {});

    // The same for a connection whose identity the access rules settled
    // (line_access.h): a client that said hello is held to its scopes (a request
    // outside them is refused and changes nothing) and named in the audit log as
    // "client:NAME". Whether the peer may speak at all was checked before.
    Answer handle(std::string_view line, const Peer& peer);

    // Decides a request whose sender was authenticated another way (an approver's
    // token on the console), so no "mac" is asked for. Same logic, same store path.
    Answer handle_verified(const Request& request, const DecisionSource& source);

    // The source of the requests a line-port peer sends, for taking one again.
    static DecisionSource source_of(const Peer& peer);

    // Each observer is told of every decision, in the order they were added; one must
    // be removed before it goes.
    void add_observer(RequestObserver* observer);
    void remove_observer(RequestObserver* observer);

    // Ids longer than these limits are refused as the request is read.
    void set_request_limits(RequestLimits limits) noexcept { limits_ = limits; }
    const RequestLimits& request_limits() const noexcept { return limits_; }

private:
    Answer decide_line(std::string_view line, DecisionSource::Door door, std::string_view who,
                       const HelloClient* client);
    Answer refuse(const Request* request, std::string message, const DecisionSource& source);
    void tell(const Decision& decision);

    Store& store_;
    const SecretBytes* secret_;
    std::vector<RequestObserver*> observers_;
    RequestLimits limits_;
};

}  // namespace latchwork::server
