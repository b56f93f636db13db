// committing_store.cpp: the SQLite store behind the seam, committed on a thread of its own.
#include "server/store/sqlite/committing_store.h"

#include "server/core/diagnostics.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>

namespace latchwork::server {
namespace {

// How long the commit thread waits with nothing to commit before it folds a slice of
// the journal, and how large a slice is (a few microseconds per change).
constexpr auto kIdleBeforeFold = std::chrono::milliseconds(100);
constexpr std::uint64_t kIdleFoldChanges = 4096;
// The longest a batch waits to fill up, whatever a sync costs.
constexpr auto kLongestGather = std::chrono::milliseconds(1);

}  // namespace

CommittingStore::CommittingStore(boost::asio::io_context& io, SqliteStore store)
    : io_(io), sqlite_(std::move(store)) {}

CommittingStore::~CommittingStore() {
    if (!committer_.joinable()) return;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    committer_.join();
    if (sqlite_.failed()) return;
    // A clean stop leaves the file as plain state tables, with an empty journal.
    if (std::optional<Failure> failed = sqlite_.fold()) {
        diagnose(failed->message);
    }
}

Result<std::monostate> CommittingStore::load(RunLedger& ledger) {
    if (std::optional<Failure> failed = sqlite_.load(ledger)) return std::move(*failed);
    // Before any commit, while the state tables are the whole state.
    loaded_holds_ = sqlite_.pending_holds();
    committer_ = std::thread([this] { commit_loop(); });
    return std::monostate{};
}

std::uint64_t CommittingStore::record(std::span<const StateChange> changes,
                                      std::span<const AuditEntry> audit) {
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        ++open_requests_;
        const bool was_empty = open_.empty() && open_audit_.empty();
        wake = committer_waiting_ &&
               (was_empty || (gather_target_ != 0 && open_requests_ == gather_target_));
        open_.insert(open_.end(), changes.begin(), changes.end());
        open_audit_.insert(open_audit_.end(), audit.begin(), audit.end());
        last_recorded_ = open_number_;
    }
    if (wake) wake_.notify_one();
    return last_recorded_;
}

void CommittingStore::commit_loop() {
    using Clock = std::chrono::steady_clock;
    std::vector<StateChange> batch;
    std::vector<AuditEntry> batch_audit;
    std::size_t last_requests = 0;   // in the batch committed last
    Clock::duration last_sync{};     // what committing it took
    std::unique_lock lock(mutex_);
    for (;;) {
        if (open_.empty() && open_audit_.empty()) {
            if (stopping_) return;
            committer_waiting_ = true;
            const bool fold_waits = sqlite_.journal_changes() > 0 && !sqlite_.failed();
            auto has_work = [this] { return !open_.empty() || !open_audit_.empty() || stopping_; };
            if (!fold_waits) {
                wake_.wait(lock, has_work);
            } else if (!wake_.wait_for(lock, kIdleBeforeFold, has_work)) {
                committer_waiting_ = false;
                lock.unlock();
                std::optional<Failure> failed;
                {
                    const std::lock_guard using_sqlite(sqlite_mutex_);
                    failed = sqlite_.fold(kIdleFoldChanges);
                }
                if (failed) {
                    boost::asio::post(io_, [this, failed = std::move(*failed)]() mutable {
                        finished(0, std::move(failed), -1);
                    });
                }
                lock.lock();
            }
            committer_waiting_ = false;
            continue;
        }
        if (last_requests > 1 && open_requests_ < last_requests && !stopping_) {
            // The clients of the last batch are sending their next requests.
            const Clock::duration window = std::min<Clock::duration>(last_sync / 2, kLongestGather);
            gather_target_ = last_requests;
            committer_waiting_ = true;
            wake_.wait_for(lock, window,
                           [this] { return open_requests_ >= gather_target_ || stopping_; });
            committer_waiting_ = false;
            gather_target_ = 0;
        }
        batch.swap(open_);
        batch_audit.swap(open_audit_);
        last_requests = open_requests_;
        open_requests_ = 0;
        const std::uint64_t number = open_number_++;
        lock.unlock();
        std::optional<Failure> failed;
        Clock::time_point started;
        {
            const std::lock_guard using_sqlite(sqlite_mutex_);
            started = Clock::now();
            failed = sqlite_.commit(batch, batch_audit);
            last_sync = Clock::now() - started;
        }
        batch.clear();
        batch_audit.clear();
        const double seconds = std::chrono::duration<double>(last_sync).count();
        boost::asio::post(io_, [this, number, seconds, failed = std::move(failed)]() mutable {
            finished(number, std::move(failed), seconds);
        });
        lock.lock();
    }
}

Result<std::vector<AuditEntry>> CommittingStore::read_audit(const AuditQuery& query) {
    const std::lock_guard using_sqlite(sqlite_mutex_);
    return sqlite_.read_audit(query);
}

// seconds: what the commit took; negative for a fold, which no reply waited for.
void CommittingStore::finished(std::uint64_t batch, std::optional<Failure> failed,
                               double seconds) {
    if (seconds >= 0) commit_latency_.observe(seconds);
    if (failure_) return;  // told once; what follows a failure says nothing new
    if (failed) {
        failure_ = std::move(failed);
    } else {
        durable_ = batch;
    }
    if (listener_) listener_();
}

}  // namespace latchwork::server
