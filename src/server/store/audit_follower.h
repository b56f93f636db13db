// audit_follower.h: follows the committed audit log after a cursor, for whoever tells its entries on (the console's events, the webhooks).
//
// Entries are read only once committed, so nothing is told of a change that might
// still be lost. On a store that several servers share, a seq is taken before its
// transaction commits, so seq N may commit after N+1 (one server's commit stalled
// while another's went through), or never (rolled back). A missing seq therefore
// holds back what follows for a while (settle_gaps), then is passed over, so that a
// rolled-back one does not stop the log for good; but it is remembered and looked for
// on every later read, so that an entry that commits late is still told, late and out
// of order, rather than never.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "server/core/audit_entry.h"
#include "server/store/audit_bounds.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

struct FollowSettings {
    // How long a missing seq holds back the entries after it: as long as a gate
    // server's own transaction can stay open before it is given up (its store timeout),
    // and a second more; without a timeout, this default. Never the cluster's oldest
    // open transaction, which any login can hold open.
    std::chrono::milliseconds settle_gaps = std::chrono::seconds(3);

    // The settings for a server whose store gives up on a transaction after `timeout`
    // (zero: never) and prunes entries older than `retention`.
    static FollowSettings for_store(std::chrono::milliseconds timeout, std::chrono::milliseconds retention) {
        FollowSettings settings;
        if (timeout.count() > 0) settings.settle_gaps = timeout + std::chrono::seconds(1);
        settings.retention = retention;
        return settings;
    }
    // The store's audit retention: a seq passed over is looked for until an entry as
    // old as its successor would be pruned anyway.
    std::chrono::milliseconds retention = AuditBounds{}.retention;
    // At most this many seqs passed over are looked for, the newest kept. Each read
    // asks for all of them in one query; gaps are rare (a stalled or rolled-back
    // commit), so only a log far behind its pruning comes near the bound.
    std::size_t max_late = 4096;
};

class AuditFollower {
public:
    using Clock = std::chrono::steady_clock;

    struct Read {
        // Entries passed over by an earlier read that have committed since, by seq:
        // older than the cursor, told out of order.
        std::vector<AuditEntry> late;
        // The entries after the cursor, in seq order; the cursor is now at the last.
        std::vector<AuditEntry> entries;
        bool more = false;  // a page was full: read again
    };

    explicit AuditFollower(Store& store, FollowSettings settings = {})
        : store_(store), settings_(settings) {}

    // Once: the cursor goes to the newest committed entry, so that what is committed
    // from now on is told, not the whole past; `done` says whether it did (not while
    // the log cannot be read, a shared store away: ask again later).
    bool start(std::function<void(bool started)> done);
    // The same, read at once through the store's blocking read: only before serving,
    // on the thread that is to run the network loop, so that what commits once the
    // server answers is told. False when the log cannot be read yet (start() later).
    bool start_now();
    // The cursor goes to `seq` (one kept elsewhere). Seqs passed over after it are
    // forgotten: they are read in order again.
    void start_at(std::uint64_t seq);
    bool started() const noexcept { return started_; }
    std::uint64_t cursor() const noexcept { return cursor_; }

    // At most `limit` entries in all, late ones first, read through the store's
    // asynchronous reads: a read that waits for a database is never made on the network
    // thread. `done` gets the outcome there, unless the follower is gone first; a store
    // that reads what it holds completes before read() returns. One read at a time
    // (start() included): while reading(), another is refused and `done` not called.
    using ReadDoneFn = std::function<void(Result<Read>)>;
    bool read(std::size_t limit, ReadDoneFn done, Clock::time_point now = Clock::now());
    bool reading() const noexcept { return reading_; }

    // Whether `seq` was passed over and has not been read since: a later read tells it.
    bool awaits(std::uint64_t seq) const { return late_.contains(seq); }
    // A late entry read but not told after all (its delivery was lost): looked for again.
    void look_again(std::uint64_t seq, Clock::time_point now = Clock::now());

private:
    // The steps both reads share: what to ask for, and what the answers mean.
    std::optional<AuditQuery> late_query(std::size_t limit, Clock::time_point now);
    void took_late(const std::vector<AuditEntry>& found);
    AuditQuery page_query(std::size_t room) const;
    void took_page(std::vector<AuditEntry> page, std::size_t room, Clock::time_point now, Read& out);
    void read_page(std::size_t limit, Read out, Clock::time_point now, ReadDoneFn done);
    // A completion that does nothing once the follower is gone.
    template <class T>
    ReadDone<T> while_alive(std::function<void(Result<T>)> then);
    bool gap_settled(std::uint64_t missing, Clock::time_point now);
    // Remembers the seqs from `first` up to the entry `next`, which committed past them.
    void pass_over(std::uint64_t first, const AuditEntry& next, Clock::time_point now);

    Store& store_;
    FollowSettings settings_;
    bool started_ = false;
    std::uint64_t cursor_ = 0;
    std::uint64_t gap_at_ = 0;  // the missing seq waited for, 0: none
    Clock::time_point gap_since_;
    std::map<std::uint64_t, Clock::time_point> late_;  // seq passed over -> looked for until
    bool reading_ = false;                             // a read() or start() is under way
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // its completions hold it weakly
};

// The query for the newest committed entry, and the seq it found (0 for an empty log).
AuditQuery newest_entry_query();
std::uint64_t newest_seq_in(const std::vector<AuditEntry>& found);

}  // namespace latchwork::server
