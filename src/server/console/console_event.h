// console_event.h: the audit entries an approver's event stream reports, in their wire form.
//
// The stream is read from the audit log, so each event carries its entry's seq as its
// id and a stream can resume after any id the log still holds.
#pragma once

#include <boost/json/object.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/audit_entry.h"

namespace latchwork::server {

// "id: SEQ\nevent: NAME\ndata: JSON\n\n", or without the id line when `id` is 0.
std::string console_event_text(std::string_view name, const boost::json::object& data,
                               std::uint64_t id = 0);

// The event an entry reports, or nullopt for one a person waits on nothing for: a
// decide refused as a duplicate or for a cancelled run changed nothing.
std::optional<std::string> console_event_of(const AuditEntry& entry);

// Tells the page to read its lists again: events may have been missed.
std::string resync_event_text();

}  // namespace latchwork::server
