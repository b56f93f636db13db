// sqlite_backend.h: the back end of one SQLite file: a resident ledger, each batch written to the file in one transaction.
//
// The ledger decides; the file learns only what changed (StateChanges) and the audit
// entries, so that replaying them rebuilds the same ledger. Writes block their thread
// for an fsync, not a round trip: a lone client's batch may be written on the network
// thread. When the loop has had nothing to do for a while it folds a slice of the
// journal into the state tables, so the journal never grows long under bursty load;
// closing folds the whole journal, so the file reads as the ledger's state in the
// sqlite3 shell.
//
// The audit log is read, while serving, through a connection of its own
// (SqliteAuditReader): the write-ahead log lets it read the committed entries beside
// the write in flight, so the network thread never waits for the disk.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>

#include "server/store/resident_backend.h"
#include "server/store/sqlite/sqlite_file.h"
#include "server/store/sqlite/sqlite_log_reader.h"

namespace latchwork::server {

class SqliteBackend final : public ResidentBackend, private Journal {
public:
    explicit SqliteBackend(SqliteFile file) : file_(std::move(file)) {}

    BackendCapabilities capabilities() const noexcept override {
        BackendCapabilities can;
        can.writes_here = true;
        can.journal = true;
        can.prunes_audit = true;
        return can;
    }
    SharedLink* shared_link() noexcept override { return nullptr; }
    Journal* journal() noexcept override { return this; }

    Result<std::monostate> load(std::chrono::milliseconds hold_timeout) override;

    BackendStep write(std::span<const BatchRequest> batch, std::span<const AuditEntry> audit) override;

    Result<std::uint64_t> prune_audit(std::int64_t older_than_ms, std::uint64_t limit) override;

    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override;

    void close() override;

private:
    std::optional<Journal::Clock::time_point> fold_due() const override;
    std::optional<Failure> fold_slice() override;

    SqliteFile file_;
    // Held by whichever thread uses file_ once serving began: the loop's, or the
    // network thread writing a lone client's batch.
    std::mutex file_mutex_;
    std::optional<SqliteAuditReader> reader_;          // the network thread's, from load() on
    Journal::Clock::time_point last_write_{};           // the loop thread's own
    std::vector<StateChange> changes_;                  // of the batch being written, reused
    std::vector<Grant> granted_;                        // likewise
    std::vector<std::string> revoked_;
    std::vector<KeptRelease> kept_;                     // likewise
};

}  // namespace latchwork::server
