// sqlite_recorder.h: the SQLite store's recorder: batches committed to the file on the batcher's thread.
//
// The network thread records each decided request's changes into the open batch and
// goes on deciding; the batcher commits whole batches in one transaction each and
// posts the batch's number back to the network thread, which then lets the replies
// waiting for it go. A lone client's batch is committed on the network thread itself
// (see Batcher), sparing it two thread wake-ups per request.
//
// When the batcher has had nothing to do for a while it folds a slice of the journal
// into the state tables, so the journal never grows long under bursty load. Between
// batches it also deletes audit entries older than the retention, a slice at a time.
// Destroying the recorder commits what is still open, stops the thread and folds the
// whole journal, so the file reads as the ledger's state in the sqlite3 shell.
//
// The audit log is read, while serving, through a connection of its own
// (SqliteAuditReader): the write-ahead log lets it read the committed entries beside
// the commit in flight, so the network thread never waits for the disk.
#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "server/store/audit_bounds.h"
#include "server/store/audit_pruning.h"
#include "server/store/batcher.h"
#include "server/store/recorder.h"
#include "server/store/sqlite/sqlite_file.h"
#include "server/store/sqlite/sqlite_log_reader.h"

namespace latchwork::server {

class SqliteRecorder final : public Recorder {
public:
    // Completions are posted to `io`, whose one thread is the network thread; it must
    // outlive this recorder.
    SqliteRecorder(boost::asio::io_context& io, SqliteFile file, AuditBounds bounds = {});
    ~SqliteRecorder() override;
    SqliteRecorder(const SqliteRecorder&) = delete;
    SqliteRecorder& operator=(const SqliteRecorder&) = delete;

    // Loads on the calling thread, then starts the batcher: from here on the file is
    // written by one thread at a time (see commit), and read for the audit log under
    // the file's lock.
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
    // The changes and audit entries of the requests recorded into one batch.
    struct Batch {
        std::vector<StateChange> changes;
        std::vector<AuditEntry> audit;
        std::size_t request_count = 0;

        bool empty() const noexcept { return request_count == 0; }
        std::size_t requests() const noexcept { return request_count; }
        void clear() {
            changes.clear();
            audit.clear();
            request_count = 0;
        }
    };

    // On the batcher's thread, or on the network thread while the batcher keeps off.
    void commit(std::uint64_t number, Batch& batch);
    std::optional<Batcher<Batch>::Clock::time_point> fold_due();
    void fold_slice();
    // The batcher's upkeep: folding the journal and pruning the audit log, each when due.
    std::optional<Batcher<Batch>::Clock::time_point> upkeep_due();
    void upkeep();
    void prune_slice();
    // On the network thread: the commit of `batch` ended, with `failed` if it failed.
    void finished(std::uint64_t batch, std::optional<Failure> failed, double seconds);

    boost::asio::io_context& io_;
    SqliteFile file_;
    std::mutex file_mutex_;  // held by whichever thread uses file_ once serving began
    std::optional<SqliteAuditReader> reader_;  // the network thread's, from load() on
    Batcher<Batch>::Clock::time_point last_commit_{};  // the batcher's own
    AuditPruning pruning_;                              // the batcher's own

    // The network thread's own.
    std::uint64_t last_recorded_ = 0;
    std::uint64_t durable_ = 0;
    std::optional<Failure> failure_;
    std::function<void()> listener_;
    LatencyHistogram commit_latency_;
    Result<std::vector<StoredHold>> loaded_holds_ = std::vector<StoredHold>{};

    Batcher<Batch> batcher_;  // last, so its thread stops before the rest goes
};

}  // namespace latchwork::server
