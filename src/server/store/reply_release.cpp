// reply_release.cpp: when a reply may leave: once the store batch it waits for is durable, or as the store's failure.
#include "server/store/reply_release.h"

namespace latchwork::server {

ReplyRelease reply_release(const Store& store, std::uint64_t wait_for) noexcept {
    if (wait_for <= store.durable()) return ReplyRelease{ReplyRelease::State::ready, {}};
    if (const Failure* failed = store.failure()) {
        return ReplyRelease{ReplyRelease::State::failed, failed->message};
    }
    return ReplyRelease{};
}

}  // namespace latchwork::server
