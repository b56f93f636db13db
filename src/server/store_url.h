// store_url.h: from the --store URL to the store it names.
#pragma once

#include <memory>
#include <string_view>

#include "server/store.h"
#include "support/result.h"

namespace latchwork::server {

// "memory:" is the only store so far; any other URL fails with a message that says
// which ones there are.
Result<std::unique_ptr<Store>> open_store(std::string_view url);

}  // namespace latchwork::server
