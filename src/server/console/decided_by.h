// decided_by.h: who settled an effect a person tried to decide, read from the audit log.
//
// A second approver is told "already rejected by bob" rather than a bare refusal, so
// the reply of a decision that came too late names the state, who made it and why.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <span>
#include <string_view>

#include "server/core/audit_entry.h"
#include "server/store/store.h"

namespace latchwork::server {

// The audit entry, among `newest_first` (one effect's entries, newest first), that
// brought the effect into `state`: the earliest such entry since the effect was last
// held (a later repeat of a line-protocol rejection changed nothing). Null when the
// log does not say (a state such as "cancelled" or "unknown", or pruned entries).
const AuditEntry* settling_entry(std::span<const AuditEntry> newest_first,
                                 std::string_view state);

// {"error":"already decided","state":STATE,"decided_by":...,"decided_at":...,"reason":...,
// "taken_by":...} for an effect of `run_id` found in `state`; decided_by, decided_at and
// reason null when nothing is known. An approval its worker took names the approver as
// deciding and the worker's source in taken_by (null for anything else).
boost::asio::awaitable<boost::json::object> already_decided_body(Store& store, const std::string& run_id,
                                         const std::string& effect_key, std::string_view state);

}  // namespace latchwork::server
