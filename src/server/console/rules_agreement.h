// rules_agreement.h: whether the servers sharing a store decide by the same rules.
//
// Servers of one database that hold different rules files give a submit different
// verdicts depending on which it reaches; the console warns of it from what each live
// server last announced (store.h, async_read_servers).
#pragma once

#include <boost/json/object.hpp>

#include <span>

#include "server/core/rules_in_force.h"
#include "server/store/store.h"

namespace latchwork::server {

// {"digest": this server's rules' digest or null, "mode": "enforce"|"shadow"|null,
//  "servers": [{"server","digest","mode","seen_at"}...], "agree": bool}: agree is false
// exactly when a live server's rules or mode differ from this one's. A store no
// other server shares lists none, and agrees.
boost::json::object rules_agreement_body(const RulesInForce* rules, std::span<const ServerRules> servers);

}  // namespace latchwork::server
