// store_backend.h: what a store's back end fills for the one batch loop (batch_store.h): every step of a batch, its upkeep and its reads.
//
// The loop takes requests into batches and, for each batch, on its own thread:
//   1. asks for the holds that are due (an expiry sweep in the batch);
//   2. lock_and_load(): the runs the batch names, locked against every other writer
//      and loaded into a ledger to decide on;
//   3. decides each request with apply_request() on that ledger, telling the back end
//      of each through decided();
//   4. write(): the batch's changes and audit entries made durable, in one step;
// then, on the network thread, answers the batch, tells the listeners and lets the
// replies go. A back end fills every step; what one cannot do is said by its
// capabilities, which the loop reads, never by a call that quietly does nothing.
//
// The back ends: memory (a resident ledger, durable as written), SQLite (a resident
// ledger, written to a local file) and PostgreSQL (a database several servers share:
// each batch is a transaction that locks and reads the runs it names).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "gate/run_ledger.h"
#include "server/core/apply_request.h"
#include "server/core/audit_entry.h"
#include "server/store/batch_request.h"
#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

struct BackendCapabilities {
    // A write is durable when it returns and blocks nobody: each batch is decided and
    // written as it is taken, on the taking thread, with no thread of the loop's own.
    bool writes_at_once = false;
    // A write may block the taking thread a little (a local file, not a round trip):
    // a lone client's batch is written on the network thread (see Batcher).
    bool writes_here = false;
    // Shared with other servers through a connection that may be lost and come back:
    // the back end has a SharedLink (reconnecting, outages, what the others commit).
    bool shared = false;
    // Keeps a journal that is folded into its tables when the loop is idle: the back
    // end has a Journal.
    bool journal = false;
    // Entries older than the retention are deleted in slices by prune_audit(), paced
    // by the loop. Without it the back end bounds its log as it writes.
    bool prunes_audit = false;
    // No call to the database waits longer than this (zero: no bound); a write that
    // takes longer shows as stalled().
    std::chrono::milliseconds timeout{0};
};

// How a step of a batch ended.
struct BackendStep {
    enum class Kind : std::uint8_t {
        done,
        retry,    // a conflict with another writer: nothing was written, the batch is decided again
        refused,  // nothing was written: the batch is answered with the message, the store serves on
        lost,     // the connection was lost: the batch is answered with the message, the store reconnects
        broken,   // what reached the disk is unknown: the store fails for good (fail closed)
    };
    Kind kind = Kind::done;
    std::string message;
    bool may_have_committed = false;  // lost during the commit itself
    bool timed_out = false;           // lost because the database did not answer in time

    static BackendStep ok() { return {}; }
    bool failed() const noexcept { return kind != Kind::done; }
};

// What a batch's requests are decided on, from lock_and_load() until write() or
// abandon(). Owned by the back end.
struct BatchScope {
    RunLedger* ledger = nullptr;
    WaitingDetails* details = nullptr;
    // Null: the ledger's own counts are the totals. Otherwise asked for them; when it
    // cannot count, `count_failure` says why.
    CountTotals* totals = nullptr;
    const BackendStep* count_failure = nullptr;
    // The live grants (null: none are kept); when they cannot be read, `count_failure`
    // says why too.
    GrantBook* grants = nullptr;
};

// How often a server of a shared store says which rules it decides by (announce()).
inline constexpr std::chrono::seconds kServerAnnouncePeriod{10};

// The link of a shared back end to the database and to the other servers.
class SharedLink {
public:
    virtual ~SharedLink() = default;
    // On the loop's thread.
    virtual bool connected() const = 0;
    // One attempt to connect again; the reason it failed, or nothing once connected.
    virtual std::optional<std::string> reconnect() = 0;
    // Drops the connection after a failure the loop met (`why`).
    virtual void disconnect(const std::string& why) = 0;
    // On any thread: why the database cannot be reached, while it cannot.
    virtual std::optional<std::string> outage() const = 0;
    // Starts hearing what the other servers commit; `heard` is called on the network
    // thread with each as a decision made elsewhere, or a resync (store.h).
    virtual void start_hearing(DecidedListener heard) = 0;
    // Before the loop stops: the last calls to the database end within one timeout.
    virtual void request_stop() = 0;
    // Says in the database which rules this server decides by (`rules.server` is
    // filled by the link), so that servers holding different rules are seen. On the
    // loop's thread, every kServerAnnouncePeriod; the reason it failed, if it did.
    virtual std::optional<std::string> announce(const ServerRules& rules) = 0;
    // The servers that announced themselves lately, this one included, on the
    // network thread.
    virtual void async_read_servers(ReadDone<std::vector<ServerRules>> done) = 0;
};

// The journal of a back end that appends first and folds later.
class Journal {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~Journal() = default;
    // On the loop's thread. When a slice should be folded next (nullopt: nothing to fold).
    virtual std::optional<Clock::time_point> fold_due() const = 0;
    // Folds one slice; a failure is the store's failure for good.
    virtual std::optional<Failure> fold_slice() = 0;
};

class StoreBackend {
public:
    virtual ~StoreBackend() = default;

    virtual BackendCapabilities capabilities() const noexcept = 0;
    // Non-null exactly when the capabilities say so.
    virtual SharedLink* shared_link() noexcept = 0;
    virtual Journal* journal() noexcept = 0;

    // Before serving, on the calling thread: reads what the store holds. A hold kept
    // without a deadline may wait `hold_timeout` from when it was held (zero: for ever).
    virtual Result<std::monostate> load(std::chrono::milliseconds hold_timeout) = 0;

    // The steps of one batch, on the loop's thread, one batch at a time.
    virtual BackendStep lock_and_load(std::span<const BatchRequest> batch, BatchScope& scope) = 0;
    // `item` was decided on the scope's ledger (its reply, changes and times set).
    virtual void decided(const BatchRequest& item) = 0;
    // Makes the batch's changes and entries durable, and ends the scope. A back end
    // with a resident ledger never answers retry or refused: its ledger has moved on.
    virtual BackendStep write(std::span<const BatchRequest> batch, std::span<const AuditEntry> audit) = 0;
    // Ends the scope without writing: the attempt is given up or tried again.
    virtual void abandon() = 0;

    // The held effects whose deadline is at or before `now_ms` (run id, effect key), at
    // most `limit`, nearest deadline first. On the loop's thread.
    virtual Result<std::vector<std::pair<std::string, std::string>>> due_holds(std::int64_t now_ms,
                                                                               std::size_t limit) = 0;
    // When due holds should be looked for next, as seen at `now_ms`; nullopt: not
    // until a new hold is made. On the network thread.
    virtual std::optional<std::int64_t> next_expiry_check(std::int64_t now_ms) const = 0;
    // Deletes at most `limit` entries older than `older_than_ms` (prunes_audit only; on
    // the loop's thread); how many it deleted.
    virtual Result<std::uint64_t> prune_audit(std::int64_t older_than_ms, std::uint64_t limit) = 0;

    // The console's reads, on the network thread. The synchronous ones may wait for a
    // database: only before serving, or where nothing else waits.
    virtual Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                                      std::string_view run_prefix) = 0;
    virtual Result<std::optional<RunState>> read_run(std::string_view run_id) = 0;
    virtual Result<std::uint64_t> read_pending_count() = 0;
    virtual Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) = 0;
    // These never wait on the network thread: they complete at once from what is in
    // memory (or a file read beside the writer), or on a thread of the back end's own.
    virtual void async_read_held(std::size_t limit, std::uint64_t after, std::string run_prefix,
                                 ReadDone<std::vector<HeldEffect>> done) = 0;
    virtual void async_read_run(std::string run_id, ReadDone<std::optional<RunState>> done) = 0;
    virtual void async_read_pending_count(ReadDone<std::uint64_t> done) = 0;
    virtual void async_read_audit(AuditQuery query, ReadDone<std::vector<AuditEntry>> done) = 0;
    virtual void async_read_grants(std::int64_t now_ms, ReadDone<std::vector<Grant>> done) = 0;

    // After the loop has stopped, on the thread that owned it: leaves the store tidy.
    virtual void close() = 0;
};

}  // namespace latchwork::server
