// committing_store.h: the SQLite store behind the seam, committed on a thread of its own.
//
// The network thread records each decided request's changes into the open batch and
// goes on deciding. The commit thread, whenever it is free, takes the whole open
// batch (everything decided while the previous commit was on its way to the disk),
// commits it in one transaction and posts the batch's number back to the network
// thread, which then lets the replies waiting for it go. One commit in flight at a
// time; batches are durable in the order they were numbered.
//
// A commit thread that takes the open batch the moment it is free splits busy clients
// in two: the few whose next requests came first go alone into one sync, the rest
// wait a whole sync for the next. So when the last batch held more than one request,
// the thread waits a little (at most half a sync, and no longer than a millisecond)
// for as many requests again before it takes the batch; one client alone never waits.
//
// When the commit thread has had nothing to do for a while it folds a slice of the
// journal into the state tables, so the journal never grows long under bursty load.
// Destroying the store commits what is still open, stops the thread and folds the
// whole journal, so the file reads as the ledger's state in the sqlite3 shell.
//
// Reading the audit log while serving shares the SQLite handle with the commit thread:
// the network thread waits for the commit in flight, a few milliseconds, as rare
// console reads can afford; commits never wait for a read longer than its query.
#pragma once

#include <boost/asio/io_context.hpp>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "server/store/sqlite/sqlite_store.h"
#include "server/store/store.h"

namespace latchwork::server {

class CommittingStore final : public Store {
public:
    // Completions are posted to `io`, whose one thread is the network thread; it must
    // outlive this store.
    CommittingStore(boost::asio::io_context& io, SqliteStore store);
    ~CommittingStore() override;
    CommittingStore(const CommittingStore&) = delete;
    CommittingStore& operator=(const CommittingStore&) = delete;

    // Loads on the calling thread, then starts the commit thread: from here on only
    // that thread touches the SQLite store.
    Result<std::monostate> load(RunLedger& ledger) override;
    Result<std::vector<StoredHold>> loaded_holds() override { return std::move(loaded_holds_); }
    std::uint64_t record(std::span<const StateChange> changes,
                         std::span<const AuditEntry> audit) override;
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override;
    const LatencyHistogram* commit_latency() const noexcept override { return &commit_latency_; }
    std::uint64_t last_recorded() const noexcept override { return last_recorded_; }
    std::uint64_t durable() const noexcept override { return durable_; }
    void set_durable_listener(std::function<void()> listener) override {
        listener_ = std::move(listener);
    }
    const Failure* failure() const noexcept override {
        return failure_ ? &*failure_ : nullptr;
    }

private:
    void commit_loop();
    // On the network thread: the commit of `batch` ended, with `failed` if it failed.
    void finished(std::uint64_t batch, std::optional<Failure> failed, double seconds);

    boost::asio::io_context& io_;
    SqliteStore sqlite_;
    std::mutex sqlite_mutex_;  // held by whichever thread uses sqlite_ once serving began

    // Shared by both threads, under mutex_.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<StateChange> open_;  // the batch being filled
    std::vector<AuditEntry> open_audit_;  // and its audit entries
    std::uint64_t open_number_ = 1;  // its number
    std::size_t open_requests_ = 0;  // the requests whose changes it holds
    std::size_t gather_target_ = 0;  // while gathering: the requests waited for
    bool committer_waiting_ = false;
    bool stopping_ = false;

    // The network thread's own.
    std::uint64_t last_recorded_ = 0;
    std::uint64_t durable_ = 0;
    std::optional<Failure> failure_;
    std::function<void()> listener_;
    LatencyHistogram commit_latency_;
    Result<std::vector<StoredHold>> loaded_holds_ = std::vector<StoredHold>{};

    std::thread committer_;  // last, so it starts after and stops before the rest
};

}  // namespace latchwork::server
