// notify_cursors.h: how far each webhook target has been told of the audit log, kept by the store.
//
// A notification is an audit entry told to a target, so what must survive a restart
// is one number per target: the seq of the last entry it was told (or given up on).
// The entry itself is already durable with the change it reports. A cursor is used
// from the delivery thread, never the network thread: each store's keeper has its own
// connection, so a slow disk or database never holds up a request.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "support/result.h"

namespace latchwork::server {

class NotifyCursors {
public:
    virtual ~NotifyCursors() = default;

    // Takes `target` (an opaque key, never a URL: those carry secrets) for this server
    // and returns the seq it was told up to; a target never seen starts at `start`.
    // nullopt: another server that shares the store delivers to it now.
    virtual Result<std::optional<std::uint64_t>> claim(std::string_view target,
                                                       std::uint64_t start) = 0;
    // The target was told every entry up to `seq`. Only ever moves forward. Fails once
    // the claim is lost (another server took the target over).
    virtual Result<std::monostate> save(std::string_view target, std::uint64_t seq) = 0;
    // Renews the claim on `target`, which a store that several servers share only
    // grants for a while (so a server that died or stopped hands it on); called every
    // kKeepEvery. Fails once the claim is lost. A store only one server serves grants
    // a claim for good: nothing to renew.
    virtual Result<std::monostate> keep(std::string_view) { return std::monostate{}; }

    static constexpr std::chrono::seconds kKeepEvery{2};
};

// Opens a keeper for the store a server serves (called once, from the thread that
// will use it).
using NotifyCursorsOpener = std::function<Result<std::unique_ptr<NotifyCursors>>()>;

// The memory store's: lost at exit, like everything the memory store keeps.
class MemoryNotifyCursors final : public NotifyCursors {
public:
    Result<std::optional<std::uint64_t>> claim(std::string_view target,
                                               std::uint64_t start) override {
        auto [at, added] = cursors_.try_emplace(std::string(target), start);
        return std::optional<std::uint64_t>(at->second);
    }
    Result<std::monostate> save(std::string_view target, std::uint64_t seq) override {
        std::uint64_t& cursor = cursors_[std::string(target)];
        if (seq > cursor) cursor = seq;
        return std::monostate{};
    }

private:
    std::map<std::string, std::uint64_t, std::less<>> cursors_;  // one per --notify target
};

}  // namespace latchwork::server
