// pending_table.h: the waiting effects as `latchwork-gate pending` prints them.
#pragma once

#include <boost/json/array.hpp>

#include <string>

namespace latchwork::server {

// One row per item of /api/pending pages (run, effect, state, waiting since, deadline,
// detail), each cell cut to a width a terminal shows whole; times in UTC.
std::string pending_table(const boost::json::array& items);

}  // namespace latchwork::server
