// pg_notify_cursors.h: the webhook targets' cursors in the shared database, one server delivering each target at a time, by lease.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "server/store/notify_cursors.h"
#include "support/result.h"

namespace latchwork::server {

// A connection of its own to `conninfo`, on the schema's table latchwork_notify_cursor.
// A target is claimed with a lease on its row that lapses ten seconds after it was
// last renewed (every save and keep renews it), so a server that dies or stops hands
// its targets to the others, which claim them on a later poll. Only the gate's own
// role can write the row: a stranger cannot hold a target, as it could an advisory
// lock.
Result<std::unique_ptr<NotifyCursors>> open_pg_notify_cursors(const std::string& conninfo,
                                                              std::chrono::milliseconds timeout = {});

}  // namespace latchwork::server
