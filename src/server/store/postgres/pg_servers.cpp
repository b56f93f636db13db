// pg_servers.cpp: which rules each live server of a shared database decides by.
#include "server/store/postgres/pg_servers.h"

#include <string>

namespace latchwork::server {

std::optional<StatementFailure> announce_server(PgConnection& connection, const ServerRules& rules) {
    // One statement, so the row is never seen half written; the rows of servers gone
    // for an hour go with it, which bounds the table by the servers of the last hour.
    Parameters parameters;
    parameters.add(rules.server).add(rules.digest).add(rules.shadow ? "true" : "false");
    Rows done = connection.run(
        "WITH gone AS (DELETE FROM latchwork_servers WHERE seen_at < now() - interval '1 hour')"
        " INSERT INTO latchwork_servers (server_id, rules_digest, shadow, seen_at)"
        " VALUES ($1, $2, $3::bool, now())"
        " ON CONFLICT (server_id) DO UPDATE SET rules_digest = excluded.rules_digest,"
        " shadow = excluded.shadow, seen_at = excluded.seen_at",
        parameters);
    if (done.ok()) return std::nullopt;
    return done.failure();
}

Result<std::vector<ServerRules>> select_live_servers(PgConnection& connection) {
    Parameters parameters;
    parameters.add(std::to_string(kServerLiveFor.count()));
    Rows rows = connection.run(
        "SELECT server_id, rules_digest, shadow, (extract(epoch FROM seen_at) * 1000)::int8"
        " FROM latchwork_servers WHERE seen_at > now() - make_interval(secs => $1::int8)"
        " ORDER BY server_id",
        parameters);
    if (!rows.ok()) return Failure{rows.failure().message};
    std::vector<ServerRules> servers;
    servers.reserve(static_cast<std::size_t>(rows.count()));
    for (int row = 0; row < rows.count(); ++row) {
        servers.push_back(ServerRules{std::string(rows.bytes(row, 0)), std::string(rows.bytes(row, 1)),
                                      rows.boolean(row, 2), rows.integer(row, 3)});
    }
    return servers;
}

void forget_server(PgConnection& connection, const std::string& server) {
    Parameters parameters;
    parameters.add(server);
    (void)connection.run("DELETE FROM latchwork_servers WHERE server_id = $1", parameters);
}

}  // namespace latchwork::server
