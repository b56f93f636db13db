// sqlite_notify_cursors.h: the webhook targets' cursors in the store file, through a connection of their own.
#pragma once

#include <memory>
#include <string>

#include "server/store/notify_cursors.h"
#include "support/result.h"

namespace latchwork::server {

// Opens `path` (a store file the server holds) once more, beside the server's own
// connection, and keeps the cursors in a table of their own (notify_cursor), created
// when missing: the store's schema and its version are left as they are. The
// server's lock file does not keep it out, as this connection is the server's.
Result<std::unique_ptr<NotifyCursors>> open_sqlite_notify_cursors(const std::string& path);

}  // namespace latchwork::server
