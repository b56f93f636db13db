// batch_request.h: one request as a batch carries it: what was asked, by whom, and what deciding it earned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/core/audit_entry.h"
#include "server/core/grant.h"
#include "server/core/kept_release.h"
#include "server/core/reply.h"
#include "server/core/request.h"
#include "server/core/state_change.h"

namespace latchwork::server {

// Where a request came from, for the audit log: DecisionSource with its own strings,
// since a batch outlives the call that took the request.
struct BatchSource {
    DecisionSource::Door door = DecisionSource::Door::line;
    std::string who;
    bool mac_verified = false;
    std::string reason;

    BatchSource() = default;
    explicit BatchSource(const DecisionSource& source)
        : door(source.door), who(source.who), mac_verified(source.mac_verified), reason(source.reason) {}
    DecisionSource view() const { return DecisionSource{door, who, mac_verified, reason}; }
};

struct BatchRequest {
    BatchRequest() = default;
    BatchRequest(const Request& asked, const DecisionSource& from) : request(asked), source(from) {}

    Request request;  // never a ping
    BatchSource source;
    // Filled as the batch is decided, and valid once it is durable:
    Reply reply;                       // the reply line and its verdict
    std::vector<StateChange> changes;  // what the request changed
    std::int64_t at_ms = 0;            // the batch's clock
    std::int64_t deadline_ms = 0;      // a hold it made may wait until then; 0: for ever
    bool recorded = false;             // it changed something or left an audit entry
    std::optional<Grant> granted;      // the grant its approval remembered
    std::optional<std::string> revoked;  // the id of the grant it revoked
    std::optional<KeptRelease> kept;     // what its effect keeps from now on (Applied::kept)
};

}  // namespace latchwork::server
