// sqlite_recorder.cpp: the SQLite store's recorder: batches committed to the file on the batcher's thread.
#include "server/store/sqlite/sqlite_recorder.h"

#include <boost/asio/post.hpp>

#include "server/core/diagnostics.h"

namespace latchwork::server {
namespace {

// How long the batcher waits with nothing to commit before it folds a slice of the
// journal, and how large a slice is (a few microseconds per change).
constexpr auto kIdleBeforeFold = std::chrono::milliseconds(100);
constexpr std::uint64_t kIdleFoldChanges = 4096;

// Set while the network thread commits a lone client's batch itself: the commit's end
// is then told there at once, not posted for a later turn of the loop.
thread_local bool committing_on_network_thread = false;

}  // namespace

SqliteRecorder::SqliteRecorder(boost::asio::io_context& io, SqliteFile file, AuditBounds bounds)
    : io_(io), file_(std::move(file)), pruning_(bounds.retention) {}

SqliteRecorder::~SqliteRecorder() {
    batcher_.stop();
    if (file_.failed()) return;
    // A clean stop leaves the file as plain state tables, with an empty journal.
    if (std::optional<Failure> failed = file_.fold()) diagnose(failed->message);
}

Result<std::monostate> SqliteRecorder::load(RunLedger& ledger) {
    if (std::optional<Failure> failed = file_.load(ledger)) return std::move(*failed);
    // Before any commit, while the state tables are the whole state.
    loaded_holds_ = file_.waiting_holds();
    Result<SqliteAuditReader> reader = SqliteAuditReader::open(file_.path());
    if (!reader) return std::move(reader).take_failure();
    reader_.emplace(std::move(reader).value());
    last_commit_ = Batcher<Batch>::Clock::now();
    // A lone client's batch is committed on the network thread, after the handlers
    // already due there (the rest of what it read): the fsync blocks a loop that has
    // nothing else to do, and no thread is woken twice per request.
    batcher_.start({[this](std::uint64_t number, Batch& batch) { commit(number, batch); },
                    [this] { return upkeep_due(); }, [this] { upkeep(); },
                    [this] {
                        boost::asio::post(io_, [this] {
                            committing_on_network_thread = true;
                            batcher_.commit_here();
                            committing_on_network_thread = false;
                        });
                    }});
    return std::monostate{};
}

std::uint64_t SqliteRecorder::record(std::span<const StateChange> changes,
                                     std::span<const AuditEntry> audit) {
    last_recorded_ = batcher_.add([&](Batch& open) {
        ++open.request_count;
        open.changes.insert(open.changes.end(), changes.begin(), changes.end());
        open.audit.insert(open.audit.end(), audit.begin(), audit.end());
    });
    return last_recorded_;
}

void SqliteRecorder::commit(std::uint64_t number, Batch& batch) {
    using Clock = Batcher<Batch>::Clock;
    std::optional<Failure> failed;
    Clock::duration took{};
    {
        const std::lock_guard using_file(file_mutex_);
        const Clock::time_point started = Clock::now();
        failed = file_.commit(batch.changes, batch.audit);
        last_commit_ = Clock::now();
        took = last_commit_ - started;
    }
    const double seconds = std::chrono::duration<double>(took).count();
    if (committing_on_network_thread) {
        finished(number, std::move(failed), seconds);
        return;
    }
    boost::asio::post(io_, [this, number, seconds, failed = std::move(failed)]() mutable {
        finished(number, std::move(failed), seconds);
    });
}

std::optional<Batcher<SqliteRecorder::Batch>::Clock::time_point> SqliteRecorder::fold_due() {
    // One thread at a time commits (the batcher's, or the network thread while the
    // batcher keeps off), handing over under the batcher's lock, which orders these
    // reads after the last commit's writes: no other lock is needed.
    if (file_.journal_changes() == 0 || file_.failed()) return std::nullopt;
    return last_commit_ + kIdleBeforeFold;
}

void SqliteRecorder::fold_slice() {
    std::optional<Failure> failed;
    {
        const std::lock_guard using_file(file_mutex_);
        failed = file_.fold(kIdleFoldChanges);
        last_commit_ = Batcher<Batch>::Clock::now();
    }
    if (failed) {
        boost::asio::post(io_, [this, failed = std::move(*failed)]() mutable {
            finished(0, std::move(failed), -1);
        });
    }
}

std::optional<Batcher<SqliteRecorder::Batch>::Clock::time_point> SqliteRecorder::upkeep_due() {
    if (file_.failed()) return std::nullopt;
    const std::optional<Batcher<Batch>::Clock::time_point> fold = fold_due();
    return fold ? std::min(*fold, pruning_.due()) : pruning_.due();
}

void SqliteRecorder::upkeep() {
    const auto now = Batcher<Batch>::Clock::now();
    if (const auto fold = fold_due(); fold && *fold <= now) fold_slice();
    if (pruning_.is_due(now) && !file_.failed()) prune_slice();
}

void SqliteRecorder::prune_slice() {
    Result<std::uint64_t> pruned = std::uint64_t{0};
    {
        const std::lock_guard using_file(file_mutex_);
        pruned = file_.prune_audit(unix_time_ms() - pruning_.retention().count(), AuditPruning::kSlice);
    }
    pruning_.stepped(Batcher<Batch>::Clock::now(), pruned ? pruned.value() : 0);
    if (!pruned) {
        boost::asio::post(io_, [this, failed = std::move(pruned).take_failure()]() mutable {
            finished(0, std::move(failed), -1);
        });
    }
}

Result<std::vector<AuditEntry>> SqliteRecorder::read_audit(const AuditQuery& query) {
    if (reader_) return reader_->read(query);
    // Before load(): nobody writes yet.
    return file_.read_audit(query);
}

// seconds: what the commit took; negative for a fold, which no reply waited for.
void SqliteRecorder::finished(std::uint64_t batch, std::optional<Failure> failed, double seconds) {
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
