// sqlite_backend.cpp: the back end of one SQLite file: a resident ledger, each batch written to the file in one transaction.
#include "server/store/sqlite/sqlite_backend.h"

#include "server/core/diagnostics.h"

namespace latchwork::server {
namespace {

// How long the loop waits with nothing to write before it folds a slice of the
// journal, and how large a slice is (a few microseconds per change).
constexpr auto kIdleBeforeFold = std::chrono::milliseconds(100);
constexpr std::uint64_t kIdleFoldChanges = 4096;

}  // namespace

Result<std::monostate> SqliteBackend::load(std::chrono::milliseconds hold_timeout) {
    if (std::optional<Failure> failed = file_.load(resident_.ledger_to_load())) return std::move(*failed);
    // Before any write, while the state tables are the whole state.
    Result<std::vector<StoredHold>> holds = file_.waiting_holds();
    if (!holds) return std::move(holds).take_failure();
    resident_.index_holds(holds.value(), hold_timeout.count());
    Result<std::vector<Grant>> grants = file_.live_grants(unix_time_ms());
    if (!grants) return std::move(grants).take_failure();
    grants_.load(std::move(grants).value());
    Result<std::vector<KeptRelease>> kept = file_.kept_releases();
    if (!kept) return std::move(kept).take_failure();
    resident_.keep_releases(std::move(kept).value());
    Result<SqliteAuditReader> reader = SqliteAuditReader::open(file_.path());
    if (!reader) return std::move(reader).take_failure();
    reader_.emplace(std::move(reader).value());
    last_write_ = Journal::Clock::now();
    return std::monostate{};
}

BackendStep SqliteBackend::write(std::span<const BatchRequest> batch, std::span<const AuditEntry> audit) {
    resident_.unlock();
    changes_.clear();
    granted_.clear();
    revoked_.clear();
    kept_.clear();
    for (const BatchRequest& item : batch) {
        if (item.kept) kept_.push_back(*item.kept);
        changes_.insert(changes_.end(), item.changes.begin(), item.changes.end());
        if (item.granted) granted_.push_back(*item.granted);
        if (item.revoked) revoked_.push_back(*item.revoked);
    }
    std::optional<Failure> failed;
    {
        const std::lock_guard using_file(file_mutex_);
        failed = file_.commit(changes_, audit, granted_, revoked_, kept_);
        last_write_ = Journal::Clock::now();
    }
    if (failed) return BackendStep{BackendStep::Kind::broken, std::move(failed->message)};
    return BackendStep::ok();
}

std::optional<Journal::Clock::time_point> SqliteBackend::fold_due() const {
    // One thread at a time writes (the loop's, or the network thread while the loop
    // keeps off), handing over under the batcher's lock, which orders these reads after
    // the last write: no other lock is needed.
    if (file_.journal_changes() == 0 || file_.failed()) return std::nullopt;
    return last_write_ + kIdleBeforeFold;
}

std::optional<Failure> SqliteBackend::fold_slice() {
    const std::lock_guard using_file(file_mutex_);
    std::optional<Failure> failed = file_.fold(kIdleFoldChanges);
    last_write_ = Journal::Clock::now();
    return failed;
}

Result<std::uint64_t> SqliteBackend::prune_audit(std::int64_t older_than_ms, std::uint64_t limit) {
    const std::lock_guard using_file(file_mutex_);
    return file_.prune_audit(older_than_ms, limit);
}

Result<std::vector<AuditEntry>> SqliteBackend::read_audit(const AuditQuery& query) {
    if (reader_) return reader_->read(query);
    // Before load(): nobody writes yet.
    return file_.read_audit(query);
}

void SqliteBackend::close() {
    if (file_.failed()) return;
    // A clean stop leaves the file as plain state tables, with an empty journal.
    if (std::optional<Failure> failed = file_.fold()) diagnose(failed->message);
}

}  // namespace latchwork::server
