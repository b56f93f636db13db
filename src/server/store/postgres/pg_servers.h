// pg_servers.h: which rules each live server of a shared database decides by.
//
// Every server of one database must decide by the same rules, or a submit's verdict
// depends on the server it reaches. Each says which it holds every few seconds (a row
// of latchwork_servers); the console reads the rows seen lately and warns when they
// differ. Rows of servers gone for an hour are deleted as the others announce.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "server/store/postgres/pg_connection.h"
#include "server/store/store_backend.h"
#include "support/result.h"

namespace latchwork::server {

// How long a row counts as live after its server last announced itself.
inline constexpr std::chrono::seconds kServerLiveFor{3 * kServerAnnouncePeriod};

// Records (or refreshes) `rules` as seen now, by the database's clock.
std::optional<StatementFailure> announce_server(PgConnection& connection, const ServerRules& rules);

// The servers seen within kServerLiveFor, by id.
Result<std::vector<ServerRules>> select_live_servers(PgConnection& connection);

// Deletes the row of a server that stops, so that it drops out of the others' view at once.
void forget_server(PgConnection& connection, const std::string& server);

}  // namespace latchwork::server
