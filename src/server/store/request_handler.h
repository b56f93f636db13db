// request_handler.h: one request line decided against the ledger, with the reply it earns.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gate/run_ledger.h"
#include "server/core/held_index.h"
#include "server/core/request.h"
#include "server/store/store.h"
#include "support/secret_bytes.h"

namespace latchwork::server {

// A reply line and the store batch it must wait for before it may be written.
struct Answer {
    Answer() = default;
    Answer(std::string reply, std::uint64_t batch) : line(std::move(reply)), wait_for(batch) {}
    Answer(std::uint64_t batch, std::shared_ptr<const DeferredReply> reply)
        : wait_for(batch), deferred(std::move(reply)) {}

    std::string line;
    std::uint64_t wait_for = 0;
    // Set when the store decides the request: its line, once the batch is durable.
    std::shared_ptr<const DeferredReply> deferred;

    const std::string& text() const noexcept { return deferred ? deferred->line : line; }
};

// Who decided through the console and why (approver empty for the line protocol),
// or which line-protocol peer sent the request, or that expiry decided it.
struct Provenance {
    std::string_view approver;
    std::string_view reason;
    std::string_view peer = {};  // line protocol: "IP:PORT"
    bool mac_verified = false;  // line protocol: a decide whose mac was checked
    bool expiry = false;        // a hold that outlived its deadline
    // Decided by a store that decides requests itself: when, and the deadline it gave a
    // hold (0: none). The local held index knows neither.
    std::int64_t held_at_ms = 0;
    std::int64_t deadline_ms = 0;
};

// Told of every request handled, after the ledger changed and the store took the
// changes: `request` is null for one that could not be read; `verdict` is the reply's
// verdict text ("error" for a refusal); `batch` is the store batch of `changes` (0 when
// there are none).
class RequestObserver {
public:
    virtual ~RequestObserver() = default;
    virtual void handled(const Request* request, std::string_view verdict,
                         std::span<const StateChange> changes, std::uint64_t batch,
                         const Provenance& provenance) = 0;
};

// Runs on the network thread, the one owner of the ledger.
class RequestHandler {
public:
    // Without a secret, decisions are taken unauthenticated and "mac" is ignored.
    RequestHandler(RunLedger& ledger, Store& store, const SecretBytes* secret);
    ~RequestHandler();
    RequestHandler(const RequestHandler&) = delete;
    RequestHandler& operator=(const RequestHandler&) = delete;

    // Parses, checks and decides one request line (without its line feed) sent by
    // `peer` ("IP:PORT", for the audit log). A refused request changes nothing and
    // waits for nothing. Once the store has failed, every request is refused with the
    // store's failure message.
    Answer handle(std::string_view line, std::string_view peer = {});

    // Decides a request whose sender was authenticated another way (an approver's
    // token on the console), so no "mac" is asked for. Same logic, same store path.
    Answer handle_verified(const Request& request, const Provenance& provenance);

    // At most one; null for none. It must outlive the handler's use.
    void set_observer(RequestObserver* observer) noexcept { observer_ = observer; }

    // Ids longer than these limits are refused as the request is read.
    void set_request_limits(RequestLimits limits) noexcept { limits_ = limits; }

    // Held effects wait at most this long (zero: for ever) before expire_due()
    // rejects them.
    void set_hold_timeout(std::chrono::milliseconds timeout) {
        hold_timeout_ = timeout;
        store_.set_hold_timeout(timeout);
    }
    // Takes the holds of a loaded store into the held index; one without a stored
    // deadline gets the hold timeout from its hold time.
    void index_holds(std::span<const StoredHold> holds);
    // Rejects every held effect whose deadline is at or before `now_ms`, exactly as a
    // decide(approved=false) would, each recorded as expired; returns how many.
    std::size_t expire_due(std::int64_t now_ms);
    // Called when a hold with a deadline was added, so a timer can be set for it.
    void set_hold_listener(std::function<void()> listener) { hold_listener_ = std::move(listener); }
    const HeldIndex& held() const noexcept { return held_; }

private:
    Answer decide_request(const Request& request, const Provenance& provenance);
    void tell(const Request* request, std::string_view verdict, std::uint64_t batch,
              const Provenance& provenance);

    RequestObserver* observer_ = nullptr;
    RunLedger& ledger_;
    Store& store_;
    const SecretBytes* secret_;
    std::vector<StateChange> changes_;  // reused from request to request
    HeldIndex held_;
    std::chrono::milliseconds hold_timeout_{0};
    RequestLimits limits_;
    std::function<void()> hold_listener_;
};

}  // namespace latchwork::server
