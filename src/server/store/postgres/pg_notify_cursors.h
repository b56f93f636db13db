// pg_notify_cursors.h: the webhook targets' cursors in the shared database, one server delivering each target at a time.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "server/store/notify_cursors.h"
#include "support/result.h"

namespace latchwork::server {

// A connection of its own to `conninfo`. Its table (latchwork_notify_cursor) is
// created when missing, beside the store's schema, whose version it leaves alone. A
// target is claimed with a session advisory lock: held while this connection lives,
// so a server that dies (kill -9 included: its connection closes) hands its targets
// to the others, which claim them on their next poll.
Result<std::unique_ptr<NotifyCursors>> open_pg_notify_cursors(const std::string& conninfo,
                                                              std::chrono::milliseconds timeout = {});

}  // namespace latchwork::server
