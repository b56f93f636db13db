// store.h: the seam every store fills: requests in, replies out once they are durable, and the reads of the console.
//
// The contract, the same for every store:
//
//   * answer() decides one request (never a ping) from its source and yields its
//     answer with the number of the batch it waits for. Batches are numbered 1, 2,
//     3, ... in the order requests were taken, on any connection or door.
//   * An answer is written only once durable() has reached its number; the answers of
//     one connection leave in request order, so a later one never overtakes an
//     earlier. An answer that changed nothing waits for the newest batch taken so far,
//     since the state it reports may rest on changes not yet durable.
//   * A store that commits on a thread of its own goes on taking requests meanwhile
//     (the next batch fills) and, when a batch is durable, calls the listener given to
//     set_durable_listener() on the network thread.
//   * Once a commit has failed, failure() says why, for good: nothing is known any
//     more about what reached the disk, so every later request is refused with it
//     (fail closed). A store that comes back by itself (a shared database that was
//     away) says why it cannot be reached through outage() instead, and answers the
//     requests of a batch in doubt with errors, never with a guessed verdict.
//   * The audit entries a request leaves travel with its changes in the same batch, so
//     an answer waits for its entry like for its changes.
//   * Every decided request is told to the decided listener on the network thread
//     before its batch is released, with what it changed and when.
//   * Held effects expire through the same path: expire_due() rejects what is due as a
//     decide(approved=false) from expiry would; next_expiry_check() says when to call it.
//   * A store shared by several servers also tells the decided listener what the
//     others committed, as it hears of it: each change as a Decision with `elsewhere`
//     set and batch 0 (nothing here waits for it). Such a decision's request is made
//     up from the change: the operation that made it, its run and effect, its flag as
//     far as the change tells it; a hold's detail is not in its change (read it). When
//     changes may have been missed (the store lost touch with the others for a while,
//     or heard more than it could hand over), it says so with a resync: a Decision
//     with `elsewhere` set, no request, no changes and the verdict "resync"; whoever
//     keeps a view of the store reads it again.
//
//   * A read that goes to a database is never made on the network thread: the console
//     asks through the async_read_* calls, whose completion runs on the network thread.
//     A store that reads what it holds in memory (or a local file) may complete at
//     once, before the call returns. A read that cannot be served (the database away,
//     too many reads waiting) completes with a failure at once.
//
// Everything here is called on the network thread, the one thread that runs the
// server's io_context.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "gate/run_ledger.h"
#include "server/core/audit_entry.h"
#include "server/core/effect_rules.h"
#include "server/core/rules_in_force.h"
#include "server/core/held_index.h"
#include "server/core/latency_histogram.h"
#include "server/core/reply.h"
#include "server/core/request.h"
#include "server/core/state_change.h"
#include "server/core/grant.h"
#include "support/result.h"

namespace latchwork::server {

struct AuditQuery {
    std::optional<std::string> run;  // only the entries of this run
    std::optional<std::string> effect;  // only the entries of this effect key (of any run)
    std::uint64_t after = 0;         // only entries whose seq is greater
    std::uint64_t before = 0;        // only entries whose seq is smaller; 0: no bound
    // Only the entries with one of these seqs (ascending); empty: any. For looking
    // again for entries that were missing when later ones were read.
    std::vector<std::uint64_t> seqs;
    bool newest_first = false;       // the newest matching entries, newest first
    std::size_t limit = std::numeric_limits<std::size_t>::max();
};

// When a waiting effect was held, until when it may wait, and what it is, as a store
// kept it.
struct StoredHold {
    std::string run_id;
    std::string effect_key;
    std::int64_t held_at_ms = 0;
    std::int64_t deadline_ms = 0;  // 0: none was set
    std::string detail;            // compact JSON; empty for none
    bool approved = false;         // approved by a person, not yet taken
    std::string rule;              // the rule that held it; empty: its submitter asked
    std::vector<std::string> approvals;  // pending: who approved it so far, short of its rule's quorum
    std::vector<std::string> editable;   // what of its detail an approver may change (JSON Pointers)
    std::string edited;                  // its detail as an approver changed it; empty: as submitted
};

// A server sharing the store, as it last said which rules it decides by.
struct ServerRules {
    std::string server;   // its id, new at every start
    std::string digest;   // SHA-256 of its rules file, hex; empty: it serves no rules
    bool shadow = false;  // its rules only watch (--rules-mode shadow)
    std::int64_t seen_at_ms = 0;

    friend bool operator==(const ServerRules&, const ServerRules&) = default;
};

// A run as the console shows it.
struct RunState {
    bool cancelled = false;
    bool closed = false;
    std::vector<std::pair<std::string, EffectState>> effects;  // by key
};

// A reply and the batch it must wait for before it may be written. Every answer has
// its reply in a slot it shares with its store, filled on the network thread before
// durable() reaches `wait_for` (at once, for a refusal or a store that writes as it
// takes). Until then the slot holds an empty line and says nothing: what it says is
// read once reply_release.h lets the reply go.
struct Answer {
    // Decided now (refusals, and what no store decides).
    Answer(Reply decided, std::uint64_t batch)
        : reply(std::make_shared<const Reply>(std::move(decided))), wait_for(batch) {}
    // Decided by the store before `batch` is durable, into `slot`.
    Answer(std::shared_ptr<const Reply> slot, std::uint64_t batch)
        : reply(std::move(slot)), wait_for(batch) {}

    std::shared_ptr<const Reply> reply;  // never null
    std::uint64_t wait_for = 0;
    // A submit that asked to wait (wait_ms): a reply of held_for_approval may wait for
    // its effect to be decided, which the line port does (net/submit_wait.h).
    std::shared_ptr<const Request> waits;

    const std::string& line() const noexcept { return reply->line; }
    const ReplyVerdict& verdict() const noexcept { return reply->verdict; }
};

// One request as it was decided, for those who watch: `request` is null for a line
// that could not be read; `verdict` is the reply's verdict text ("error" for a
// refusal); `batch` the batch its changes are in (0: none waits for it).
struct Decision {
    const Request* request = nullptr;
    std::string_view verdict;
    std::span<const StateChange> changes;
    DecisionSource source;
    std::uint64_t batch = 0;
    std::int64_t at_ms = 0;        // when it was decided
    std::int64_t deadline_ms = 0;  // a hold it made may wait until then; 0: for ever
    // Decided by another server that shares the store, and only heard of here: it was
    // neither taken nor answered here, and its batch is durable already (`batch` is 0).
    // With no request and no changes: a resync (see the contract above).
    bool elsewhere = false;
};
using DecidedListener = std::function<void(const Decision& decision)>;

// Completes an asynchronous read, on the network thread.
template <class T>
using ReadDone = std::function<void(Result<T>)>;

class Store {
public:
    virtual ~Store() = default;

    // Reads what the store holds, once, before serving, and rejects the holds whose
    // deadline passed while no server ran.
    virtual Result<std::monostate> load() = 0;

    // Decides one request (never a ping) from `source`.
    virtual Answer answer(const Request& request, const DecisionSource& source) = 0;

    // Holds made from now on wait at most this long (zero: for ever).
    virtual void set_hold_timeout(std::chrono::milliseconds timeout) = 0;
    // The rules that decide new effects before the clients' flags do (or, in shadow
    // mode, are only asked); null: none. Set before load(); they must outlive the store.
    // Each batch decides by the rules in force when it starts, and counts their matches.
    virtual void set_rules(RulesInForce* rules) = 0;
    // The console's public base (--console-url): a hold told to a submit that carries an
    // attempt links to the effect's page there. Empty: no link.
    virtual void set_console_url(std::string /*url*/) {}
    // When expire_due() should be called next; nullopt: nothing can expire yet.
    virtual std::optional<std::int64_t> next_expiry_check() const = 0;
    // Rejects what is due at `now_ms`; returns how many it rejected now (a store that
    // sweeps on a thread of its own rejects them later, and says 0).
    virtual std::size_t expire_due(std::int64_t now_ms) = 0;
    // Called when next_expiry_check() moved nearer, so a timer can be set again.
    virtual void set_expiry_listener(std::function<void()> listener) = 0;

    virtual void set_decided_listener(DecidedListener listener) = 0;

    // The number of the newest batch taken so far (0 before any).
    virtual std::uint64_t last_recorded() const noexcept = 0;
    // Every batch up to and including this number is durable.
    virtual std::uint64_t durable() const noexcept = 0;
    // Called whenever durable() has advanced, and once when the store has failed.
    virtual void set_durable_listener(std::function<void()> listener) = 0;
    virtual const Failure* failure() const noexcept { return nullptr; }
    virtual std::optional<std::string> outage() const { return std::nullopt; }
    // Why the store is slow to answer: a commit has waited longer than the store's
    // timeout for its database. Nothing while commits come back in time.
    virtual std::optional<std::string> stalled() const { return std::nullopt; }
    // How long commits took; null for a store that commits nothing.
    virtual const LatencyHistogram* commit_latency() const noexcept { return nullptr; }

    // What the console reads. Waiting effects (held or approved) oldest first, after
    // the cursor `after`, whose run id starts with `run_prefix`.
    virtual Result<std::vector<HeldEffect>> read_held(std::size_t limit, std::uint64_t after,
                                                      std::string_view run_prefix) = 0;
    virtual Result<std::optional<RunState>> read_run(std::string_view run_id) = 0;
    virtual Result<std::uint64_t> read_pending_count() = 0;
    // The committed audit entries that match, oldest first (or newest first when asked).
    virtual Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) = 0;

    // The same reads, completed through `done`. These complete at once with the reads
    // above; a store whose reads wait for a database serves them elsewhere.
    virtual void async_read_held(std::size_t limit, std::uint64_t after, std::string run_prefix,
                                 ReadDone<std::vector<HeldEffect>> done) {
        done(read_held(limit, after, run_prefix));
    }
    virtual void async_read_run(std::string run_id, ReadDone<std::optional<RunState>> done) {
        done(read_run(run_id));
    }
    virtual void async_read_pending_count(ReadDone<std::uint64_t> done) { done(read_pending_count()); }
    virtual void async_read_audit(AuditQuery query, ReadDone<std::vector<AuditEntry>> done) {
        done(read_audit(query));
    }
    // The servers that share the store and said so lately, with their rules (this one
    // among them); none for a store no other server shares.
    virtual void async_read_servers(ReadDone<std::vector<ServerRules>> done) { done(std::vector<ServerRules>{}); }
    // The grants live at `now_ms`, oldest first (grant.h); a store that keeps none has none.
    virtual void async_read_grants(std::int64_t /*now_ms*/, ReadDone<std::vector<Grant>> done) {
        done(std::vector<Grant>{});
    }
};

}  // namespace latchwork::server
