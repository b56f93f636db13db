// store_url.cpp: from the --store URL to the store it names.
#include "server/store_url.h"

#include "server/memory_store.h"

namespace latchwork::server {

Result<std::unique_ptr<Store>> open_store(std::string_view url) {
    if (url == "memory:") return std::unique_ptr<Store>(std::make_unique<MemoryStore>());
    return Failure{"unsupported store \"" + std::string(url) + "\": the only store is memory:"};
}

}  // namespace latchwork::server
