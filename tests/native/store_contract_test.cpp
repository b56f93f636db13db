// store_contract_test.cpp: the rules of store.h, run alike on the memory, SQLite and PostgreSQL stores.
//
// Each store is opened from its URL as the server opens it. PostgreSQL needs a
// database given to these cases alone: LATCHWORK_TEST_POSTGRES_URL names it, and each
// case drops its public schema and migrates it afresh, so they run one at a time, in
// one process (tests/test_store_contract.py runs them so). Unset, they are skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/store/by_url/shared_store_commands.h"
#include "server/store/by_url/store_url.h"
#include "server/rules/rule_set.h"
#if LATCHWORK_WITH_POSTGRESQL
#include "server/store/postgres/pg_connection.h"
#endif

namespace latchwork::server {
namespace {

namespace fs = std::filesystem;
using Door = DecisionSource::Door;
using std::chrono::milliseconds;

// What a store does where the rules leave it a choice.
struct StoreKind {
    std::string name;
    bool durable_across_reopen;  // a store opened again finds what was decided
    bool sweeps_later;           // expire_due() leaves the rejecting to the store's own thread
    bool shared;                 // tells the decided listener what other servers committed

    friend void PrintTo(const StoreKind& kind, std::ostream* out) { *out << kind.name; }
};

// A Decision copied out of the listener, whose views last only for the call.
struct Heard {
    std::optional<Request> request;  // none for a resync
    std::string verdict;
    std::vector<StateChange> changes;
    Door door;
    std::string who;
    std::uint64_t batch;
    std::int64_t at_ms, deadline_ms;
    bool elsewhere;
};

Request request(Operation op, std::string run, std::string key = {}, bool flag = false,
                std::optional<std::string> detail = {}) {
    Request made;
    made.op = op;
    made.run_id = std::move(run);
    made.effect_key = std::move(key);
    made.flag = flag;
    made.detail = std::move(detail);
    return made;
}
Request submit(std::string run, std::string key, bool needs_approval, std::optional<std::string> detail = {}) {
    return request(Operation::submit, std::move(run), std::move(key), needs_approval, std::move(detail));
}
Request decide(std::string run, std::string key, bool approved) {
    return request(Operation::decide, std::move(run), std::move(key), approved);
}
StateChange change(const char* key, EffectState state, const char* detail = "") {
    StateChange made = effect_state_change("r", key, state);
    made.detail = detail;
    return made;
}
AuditQuery newest(std::size_t limit) {
    AuditQuery query;
    query.newest_first = true;
    query.limit = limit;
    return query;
}

const DecisionSource kLine{Door::line, "10.0.0.1:9", false, {}};
const DecisionSource kConsole{Door::console, "ada", false, "looks fine"};
const std::string kRelease = "{\"verdict\":\"release\"}\n";
const std::string kHeld = "{\"verdict\":\"held_for_approval\"}\n";
const std::string kDuplicate = "{\"verdict\":\"refused_duplicate\"}\n";
const std::string kRejected = "{\"verdict\":\"refused_rejected\"}\n";
const std::string kCancelled = "{\"verdict\":\"refused_cancelled\"}\n";
const std::string kApproved = "{\"verdict\":\"approved\"}\n";
const std::string kOk = "{\"verdict\":\"ok\"}\n";
const std::string kDiffers = "{\"message\":\"detail differs from the waiting effect's\",\"verdict\":\"error\"}\n";
std::string value(const char* shown) { return std::string("{\"value\":") + shown + ",\"verdict\":\"ok\"}\n"; }
std::string already(const char* state) {
    return std::string("{\"state\":\"") + state + "\",\"verdict\":\"already_decided\"}\n";
}

#if LATCHWORK_WITH_POSTGRESQL
// Drops whatever an earlier case left, then creates the tables as `latchwork-gate migrate` does.
Result<int> fresh_schema(const std::string& url) {
    Result<PgConnection> connected = PgConnection::open(url);
    if (!connected) return Failure{"cannot connect: " + connected.error()};
    Rows dropped = connected.value().run_script("DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
    if (!dropped.ok()) return Failure{dropped.failure().message};
    return migrate_store(url);
}
#endif

class StoreContract : public testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override {
        const std::string& name = GetParam().name;
        if (name == "memory") {
            url_ = "memory:";
        } else if (name == "sqlite") {
            std::string pattern = (fs::temp_directory_path() / "latchwork-contract-XXXXXX").string();
            ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
            directory_ = pattern;
            url_ = "sqlite:" + (directory_ / "gate.db").string();
        } else {
#if LATCHWORK_WITH_POSTGRESQL
            const char* url = std::getenv("LATCHWORK_TEST_POSTGRES_URL");
            if (url == nullptr || *url == '\0') {
                GTEST_SKIP() << "LATCHWORK_TEST_POSTGRES_URL is not set: it names an empty PostgreSQL "
                                "database for the contract to run on (tests/test_store_contract.py sets it)";
            }
            url_ = url;
            const Result<int> fresh = fresh_schema(url_);
            ASSERT_TRUE(fresh.ok()) << fresh.error();
#else
            GTEST_SKIP() << "built without PostgreSQL (libpq)";
#endif
        }
        store_ = open(heard_);
        ASSERT_NE(store_, nullptr);
    }

    void TearDown() override {
        store_.reset();
        if (!directory_.empty()) fs::remove_all(directory_);
    }

    // Opens the store at the URL as the server does: hold timeout first, then load().
    std::unique_ptr<Store> open(std::vector<Heard>& into, milliseconds hold_timeout = {}) {
        Result<OpenedStore> opened = open_store(url_, *io_);
        EXPECT_TRUE(opened.ok()) << opened.error();
        if (!opened) return nullptr;
        std::unique_ptr<Store> store = std::move(opened).value().store;
        store->set_hold_timeout(hold_timeout);
        got(store->load());
        store->set_decided_listener([this, &into](const Decision& d) {
            EXPECT_EQ(std::this_thread::get_id(), network_thread_);
            into.push_back(Heard{d.request ? std::optional<Request>(*d.request) : std::nullopt,
                                 std::string(d.verdict), {d.changes.begin(), d.changes.end()}, d.source.door,
                                 std::string(d.source.who), d.batch, d.at_ms, d.deadline_ms, d.elsewhere});
        });
        store->set_durable_listener([this, seen = store.get()] {
            EXPECT_EQ(std::this_thread::get_id(), network_thread_);
            if (seen != store_.get()) return;
            // A batch's decisions are told before its replies may leave.
            const auto released = std::count_if(taken_.begin(), taken_.end(),
                                                [&](std::uint64_t batch) { return batch <= seen->durable(); });
            EXPECT_GE(heard_.size(), static_cast<std::size_t>(released));
        });
        return store;
    }

    // Closes the store and opens it again, as a restarted server would.
    void reopen(milliseconds hold_timeout = {}) {
        store_.reset();
        // What the old store posted and nobody ran goes with its io_context.
        io_ = std::make_unique<boost::asio::io_context>(1);
        taken_.clear();
        heard_.clear();
        store_ = open(heard_, hold_timeout);
        ASSERT_NE(store_, nullptr);
        settle_all();  // what load() rejected may still be committing
    }

    // Runs the network thread's side until `done`, or gives up after `limit`.
    bool run_until(const std::function<bool()>& done, milliseconds limit = milliseconds(30000)) {
        const auto work = boost::asio::make_work_guard(*io_);
        const auto give_up = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= give_up) return false;
            io_->restart();
            io_->run_one_for(milliseconds(20));
        }
        return true;
    }

    // take(), checking what every answer keeps: it waits for the newest batch taken
    // so far (its own, or the one the state it reports may rest on), so never for an
    // earlier one than the answer before it.
    Answer take(const Request& asked, const DecisionSource& source = kLine) {
        Answer answer = store_->answer(asked, source);
        EXPECT_EQ(answer.wait_for, store_->last_recorded());
        EXPECT_GE(answer.wait_for, taken_.empty() ? 0 : taken_.back());
        taken_.push_back(answer.wait_for);
        return answer;
    }
    // The reply, read once durable() has reached the answer's batch.
    std::string settle(const Answer& answer) {
        EXPECT_TRUE(run_until([&] { return store_->durable() >= answer.wait_for; }));
        return answer.line();
    }
    std::string ask(const Request& asked, const DecisionSource& source = kLine) {
        return settle(take(asked, source));
    }
    void settle_all() {
        EXPECT_TRUE(run_until([&] { return store_->durable() >= store_->last_recorded(); }));
    }

    template <class T>
    static T got(Result<T> read) {
        EXPECT_TRUE(read.ok()) << read.error();
        return read ? std::move(read).value() : T{};
    }
    std::vector<HeldEffect> held(std::string_view prefix = "", std::uint64_t after = 0, std::size_t limit = 100) {
        return got(store_->read_held(limit, after, prefix));
    }
    std::optional<RunState> run(std::string_view run_id) { return got(store_->read_run(run_id)); }
    std::vector<AuditEntry> audit(const AuditQuery& query = {}) { return got(store_->read_audit(query)); }

    const std::thread::id network_thread_ = std::this_thread::get_id();
    fs::path directory_;
    std::string url_;
    std::unique_ptr<boost::asio::io_context> io_ = std::make_unique<boost::asio::io_context>(1);
    std::vector<std::uint64_t> taken_;  // the batch each answer of store_ waits for
    std::vector<Heard> heard_;
    std::unique_ptr<Store> store_;  // last: it goes before what its listeners use
};

TEST_P(StoreContract, RepliesAreByteExactAndWaitForTheirBatch) {
    const std::vector<std::pair<Request, std::string>> steps = {
        {submit("r", "a", false), kRelease},
        {submit("r", "a", true), kDuplicate},
        {submit("r", "h", true, R"({"n":1})"), kHeld},
        {submit("r", "h", false), kHeld},
        {submit("r", "h", true, R"({"n":2})"), kDiffers},
        {request(Operation::pending_count, ""), value("1")},
        {decide("r", "h", true), kRelease},
        {decide("r", "h", false), kDuplicate},
        {decide("r", "n", true), kDuplicate},
        {decide("r", "n", false), kRejected},
        {request(Operation::state_len, ""), value("3")},
        {request(Operation::is_cancelled, "r"), value("false")},
        {request(Operation::cancel, "r"), kOk},
        {request(Operation::cancel, "r"), kOk},
        {request(Operation::is_cancelled, "r"), value("true")},
        {submit("r", "b", false), kCancelled},
        {request(Operation::close_run, "s"), kOk},
        {request(Operation::is_closed, "s"), value("true")},
        {submit("s", "x", false), kCancelled},
        {request(Operation::state_len, ""), value("3")},
    };
    // All taken before any is durable: a store that commits on its own thread batches them.
    std::vector<Answer> answers;
    for (const auto& [asked, reply] : steps) answers.push_back(take(asked));
    EXPECT_EQ(answers.front().wait_for, 1u);
    for (std::size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(settle(answers[i]), steps[i].second) << i;
}

TEST_P(StoreContract, AnAnswerThatChangedNothingWaitsForTheNewestBatchTaken) {
    const Answer hold = take(submit("r", "e", true));
    const Answer count = take(request(Operation::pending_count, ""));
    // The count reports the hold, so it must not leave before the hold is durable.
    EXPECT_EQ(settle(count), value("1"));
    EXPECT_GE(store_->durable(), hold.wait_for);
    EXPECT_EQ(hold.line(), kHeld);
}

TEST_P(StoreContract, TheDecidedListenerHearsEveryDecisionWithItsChanges) {
    store_->set_hold_timeout(milliseconds(60000));
    struct Step {
        Request asked;
        const char* verdict;
        std::vector<StateChange> changes;
    };
    const std::vector<Step> steps = {
        {submit("r", "e", true, R"({"n":1})"), "held_for_approval", {change("e", EffectState::pending, R"({"n":1})")}},
        {decide("r", "e", true), "release", {change("e", EffectState::released)}},
        {request(Operation::is_closed, "r"), "ok", {}},
        {decide("r", "z", true), "refused_duplicate", {}},
        {request(Operation::cancel, "r"), "ok", {run_cancelled_change("r")}},
    };
    std::vector<Answer> answers;
    for (const Step& step : steps) answers.push_back(take(step.asked));
    settle(answers.back());
    ASSERT_EQ(heard_.size(), steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Heard& heard = heard_[i];
        ASSERT_TRUE(heard.request.has_value());
        EXPECT_EQ(heard.request->op, steps[i].asked.op) << i;
        EXPECT_EQ(heard.request->effect_key, steps[i].asked.effect_key) << i;
        EXPECT_EQ(heard.verdict, steps[i].verdict) << i;
        EXPECT_EQ(heard.changes, steps[i].changes) << i;
        EXPECT_TRUE(heard.door == Door::line && heard.who == "10.0.0.1:9" && !heard.elsewhere) << i;
        EXPECT_GT(heard.at_ms, 0);
        // Whether an answer that changed nothing names a batch is the store's choice.
        if (!heard.changes.empty()) {
            EXPECT_EQ(heard.batch, answers[i].wait_for) << i;
        }
    }
    EXPECT_EQ(heard_[0].deadline_ms, heard_[0].at_ms + 60000);
}

TEST_P(StoreContract, HoldsExpireAsADecideFromExpiryButApprovedOnesDoNot) {
    store_->set_hold_timeout(milliseconds(1));
    ask(submit("r", "a", true));
    ask(submit("r", "b", true));
    EXPECT_EQ(ask(decide("r", "a", true), kConsole), kApproved);
    ASSERT_TRUE(store_->next_expiry_check().has_value());
    const std::size_t before = heard_.size();
    bool first = true;
    // Until the clock has passed the deadline, a sweep finds nothing due.
    ASSERT_TRUE(run_until([&] {
        const std::int64_t at = std::max(unix_time_ms(), store_->next_expiry_check().value_or(0));
        const std::size_t rejected = store_->expire_due(at);
        if (std::exchange(first, false)) {
            EXPECT_EQ(rejected, GetParam().sweeps_later ? 0u : 1u);
        }
        settle_all();
        return heard_.size() > before;
    }));
    ASSERT_EQ(heard_.size(), before + 1);
    const Heard& heard = heard_.back();
    EXPECT_EQ(heard.door, Door::expiry);
    EXPECT_TRUE(heard.request->op == Operation::decide && heard.request->effect_key == "b" && !heard.request->flag);
    EXPECT_EQ(heard.verdict, "refused_rejected");
    EXPECT_EQ(heard.changes, std::vector<StateChange>{change("b", EffectState::rejected)});
    EXPECT_GT(heard.batch, 0u);
    const std::vector<AuditEntry> log = audit(newest(1));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].event == AuditEvent::expired && log[0].source == "expiry" && log[0].effect_key == "b");
    EXPECT_EQ(ask(submit("r", "b", true)), kRejected);
    EXPECT_EQ(ask(submit("r", "a", true)), kRelease);
}

TEST_P(StoreContract, ARulesHoldKeepsItsOwnDeadlineBesideTheServersInOneBatch) {
    Result<RuleSet> rules = RuleSet::parse(
        "[[rule]]\nname = \"payments\"\neffect = \"pay:*\"\naction = \"hold\"\nhold_timeout = \"1h\"\n", "r.toml");
    ASSERT_TRUE(rules.ok()) << rules.error();
    RulesInForce in_force(std::make_shared<RuleSet>(std::move(rules).value()), RulesMode::enforce);
    store_->set_hold_timeout(milliseconds(60000));
    store_->set_rules(&in_force);
    // Taken before either is settled: one batch holds both where the store gathers them.
    const Answer paid = take(submit("r", "pay:1", false));
    const Answer asked = take(submit("r", "b", true));
    EXPECT_EQ(settle(paid), kHeld);
    EXPECT_EQ(settle(asked), kHeld);
    const auto waits = [&] {
        std::vector<std::pair<std::string, std::int64_t>> found;
        for (const HeldEffect& effect : held()) {
            found.emplace_back(effect.effect_key + "/" + effect.rule, effect.deadline_ms - effect.held_at_ms);
        }
        std::sort(found.begin(), found.end());  // one batch's holds: in no order the contract sets
        return found;
    };
    const std::vector<std::pair<std::string, std::int64_t>> expected{{"b/", 60'000},
                                                                     {"pay:1/payments", 3'600'000}};
    EXPECT_EQ(waits(), expected);
    const auto told = std::find_if(heard_.begin(), heard_.end(),
                                   [](const Heard& h) { return h.request && h.request->effect_key == "pay:1"; });
    ASSERT_NE(told, heard_.end());
    EXPECT_EQ(told->deadline_ms - told->at_ms, 3'600'000);
    if (!GetParam().durable_across_reopen) return;
    reopen();
    EXPECT_EQ(waits(), expected);
}

TEST_P(StoreContract, ShadowRulesDecideNothingButLogWhereTheyDifferAndCountTheirMatches) {
    Result<RuleSet> rules = RuleSet::parse(
        "[[rule]]\nname = \"payments\"\neffect = \"pay:*\"\naction = \"hold\"\n", "r.toml");
    ASSERT_TRUE(rules.ok()) << rules.error();
    RulesInForce in_force(std::make_shared<RuleSet>(std::move(rules).value()), RulesMode::shadow);
    store_->set_rules(&in_force);
    EXPECT_EQ(ask(submit("r", "pay:1", false, R"({"to":"x"})")), kRelease);
    EXPECT_EQ(ask(submit("r", "pay:2", true)), kHeld);
    EXPECT_EQ(ask(submit("r", "other", false)), kRelease);
    EXPECT_EQ(ask(decide("r", "pay:2", true)), kRelease);  // a line decide: no rule holds it
    const auto would = [&] {
        std::vector<AuditEntry> found;
        for (const AuditEntry& entry : audit()) {
            if (entry.event == AuditEvent::would) found.push_back(entry);
        }
        return found;
    };
    ASSERT_EQ(would().size(), 1u);
    EXPECT_TRUE(would()[0].effect_key == "pay:1" && would()[0].verdict == "held_for_approval" &&
                would()[0].source == "rule:payments" && would()[0].detail == R"({"to":"x"})");
    EXPECT_EQ(in_force.matches(), (RulesInForce::Matches{{{"payments", RuleOutcome::Action::hold}, 2}}));
    if (!GetParam().durable_across_reopen) return;
    reopen();
    EXPECT_EQ(would().size(), 1u);
}

TEST_P(StoreContract, AConsoleApprovalIsTakenByTheNextSubmit) {
    ask(submit("r", "e", true, R"({"to":"x"})"));
    EXPECT_EQ(ask(decide("r", "e", true), kConsole), kApproved);
    const std::vector<HeldEffect> waiting = held();
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_TRUE(waiting[0].approved);
    EXPECT_EQ(waiting[0].detail, R"({"to":"x"})");
    EXPECT_EQ(got(store_->read_pending_count()), 0u);
    EXPECT_EQ(ask(decide("r", "e", true)), kDuplicate);  // no decider takes it
    EXPECT_EQ(ask(decide("r", "e", false), kConsole), already("approved"));
    EXPECT_EQ(ask(submit("r", "e", true, R"({"to":"y"})")), kDiffers);
    EXPECT_EQ(ask(submit("r", "e", true)), kRelease);
    EXPECT_EQ(ask(submit("r", "e", true)), kDuplicate);
    EXPECT_TRUE(held().empty());
    EXPECT_EQ(ask(decide("r", "e", true), kConsole), already("released"));
    EXPECT_EQ(ask(decide("r", "none", true), kConsole), already("unknown"));
    ask(request(Operation::cancel, "c"));
    EXPECT_EQ(ask(decide("c", "e", false), kConsole), already("cancelled"));
    const std::vector<AuditEntry> log = audit();
    ASSERT_EQ(log.size(), 5u);  // held, approved, the refused line decide, taken, cancelled
    EXPECT_TRUE(log[1].source == "console:ada" && log[1].reason == "looks fine" && log[1].verdict == "approved");
    EXPECT_TRUE(log[3].event == AuditEvent::taken && log[3].verdict == "release");
}

TEST_P(StoreContract, AQuorumsApprovalsAreKeptWithTheWaitingEffectUntilTheLastApprovesIt) {
    Result<RuleSet> rules = RuleSet::parse(
        "[[rule]]\nname = \"payments\"\neffect = \"pay:*\"\naction = \"hold\"\nquorum = 3\n", "r.toml");
    ASSERT_TRUE(rules.ok()) << rules.error();
    RulesInForce in_force(std::make_shared<RuleSet>(std::move(rules).value()), RulesMode::enforce);
    store_->set_rules(&in_force);
    const DecisionSource bob{Door::console, "bob", false, ""};
    const DecisionSource carol{Door::console, "carol", false, ""};
    EXPECT_EQ(ask(submit("r", "pay:1", false)), kHeld);
    EXPECT_EQ(ask(decide("r", "pay:1", true), kConsole),
              "{\"approvals\":[\"ada\"],\"quorum\":3,\"verdict\":\"approval_recorded\"}\n");
    EXPECT_EQ(ask(decide("r", "pay:1", true), kConsole),
              "{\"message\":\"already approved by ada\",\"verdict\":\"error\"}\n");
    EXPECT_EQ(ask(decide("r", "pay:1", true), bob),
              "{\"approvals\":[\"ada\",\"bob\"],\"quorum\":3,\"verdict\":\"approval_recorded\"}\n");
    if (GetParam().durable_across_reopen) {
        reopen();
        store_->set_rules(&in_force);
    }
    ASSERT_EQ(held().size(), 1u);
    EXPECT_EQ(held()[0].approvals, (std::vector<std::string>{"ada", "bob"}));
    EXPECT_EQ(ask(decide("r", "pay:1", true), carol), kApproved);
    EXPECT_TRUE(held()[0].approved && held()[0].approvals.empty());
    std::vector<std::string> events;
    for (const AuditEntry& entry : audit()) events.push_back(std::string(audit_event_name(entry.event)) + " " + entry.source);
    EXPECT_EQ(events, (std::vector<std::string>{"held line:10.0.0.1:9", "approval_recorded console:ada",
                                                "approval_recorded console:bob", "decided console:carol"}));
}

TEST_P(StoreContract, ReadHeldPagesOldestFirstByCursorAndRunPrefix) {
    const std::string binary("a\0\xff", 3);  // every byte of an id is kept
    ask(submit("a1", "x", true, R"({"n":1})"));
    ask(submit("b1", "y", true));
    ask(submit("a2", "z", true));
    ask(submit(binary, "w", true));
    const std::vector<HeldEffect> all = held();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].run_id + all[1].run_id + all[2].run_id + all[3].run_id, "a1b1a2" + binary);
    EXPECT_EQ(all[0].detail + "|" + all[1].detail, R"({"n":1}|)");
    EXPECT_TRUE(all[0].held_at_ms > 0 && all[0].deadline_ms == 0 && !all[0].approved);
    const std::vector<HeldEffect> first = held("a", 0, 2);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[1].effect_key, "z");
    const std::vector<HeldEffect> rest = held("a", first[1].position);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].run_id, binary);
    ask(decide("a1", "x", false));
    EXPECT_EQ(held("a").size(), 2u);
}

TEST_P(StoreContract, ReadRunAndPendingCountSayWhatWasDecided) {
    for (const Request& asked : {submit("r", "x", true), submit("r", "v", false), submit("r", "w", true),
                                 decide("r", "x", false), submit("c", "p", true), request(Operation::cancel, "c"),
                                 submit("s", "q", false), request(Operation::close_run, "s")}) {
        ask(asked);
    }
    EXPECT_EQ(got(store_->read_pending_count()), 1u);
    EXPECT_FALSE(run("nobody").has_value());
    const std::optional<RunState> r = run("r"), c = run("c"), s = run("s");
    ASSERT_TRUE(r && c && s);
    EXPECT_FALSE(r->cancelled || r->closed);
    const std::vector<std::pair<std::string, EffectState>> effects = {
        {"v", EffectState::released}, {"w", EffectState::pending}, {"x", EffectState::rejected}};
    EXPECT_EQ(r->effects, effects);
    EXPECT_TRUE(c->cancelled && !c->closed && c->effects.empty());
    EXPECT_TRUE(s->closed && s->effects.empty());
}

TEST_P(StoreContract, ReadAuditFiltersAndOrdersTheCommittedEntries) {
    for (const Request& asked : {submit("r", "e", true, R"({"n":1})"), decide("r", "e", true), submit("q", "k", true),
                                 request(Operation::cancel, "q"), request(Operation::close_run, "r")}) {
        ask(asked);
    }
    const std::vector<AuditEntry> all = audit();
    ASSERT_EQ(all.size(), 5u);
    const AuditEvent events[] = {AuditEvent::held, AuditEvent::decided, AuditEvent::held, AuditEvent::cancelled,
                                 AuditEvent::closed};
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].event, events[i]) << i;
        EXPECT_EQ(all[i].source, "line:10.0.0.1:9") << i;
        EXPECT_GT(all[i].seq, i == 0 ? 0 : all[i - 1].seq);
    }
    EXPECT_TRUE(all[0].verdict == "held_for_approval" && all[0].detail == R"({"n":1})");
    EXPECT_TRUE(all[1].approved && all[1].verdict == "release");
    EXPECT_TRUE(all[3].effect_key.empty() && all[3].verdict == "ok");
    const auto count = [&](auto set) {
        AuditQuery query;
        set(query);
        return audit(query).size();
    };
    EXPECT_EQ(count([](AuditQuery& q) { q.run = "r"; }), 3u);
    EXPECT_EQ(count([](AuditQuery& q) { q.effect = "e"; }), 2u);
    EXPECT_EQ(count([&](AuditQuery& q) { q.after = all[1].seq; }), 3u);
    EXPECT_EQ(count([&](AuditQuery& q) { q.before = all[2].seq; }), 2u);
    EXPECT_EQ(audit(newest(2)), (std::vector<AuditEntry>{all[4], all[3]}));
}

TEST_P(StoreContract, LoadAfterReopeningKeepsStateAndRejectsHoldsPastTheirDeadline) {
    if (!GetParam().durable_across_reopen) GTEST_SKIP() << GetParam().name << ": keeps nothing once closed";
    store_->set_hold_timeout(milliseconds(1));
    ask(submit("r", "late", true));
    const std::int64_t deadline = heard_.back().deadline_ms;
    ASSERT_GT(deadline, 0);
    store_->set_hold_timeout(milliseconds(0));
    ask(submit("r", "kept", true, R"({"n":1})"));
    ask(submit("r", "done", false));
    ask(request(Operation::cancel, "c"));
    while (unix_time_ms() <= deadline) std::this_thread::sleep_for(milliseconds(1));

    reopen();
    const std::optional<RunState> r = run("r");
    ASSERT_TRUE(r.has_value());
    const std::vector<std::pair<std::string, EffectState>> effects = {
        {"done", EffectState::released}, {"kept", EffectState::pending}, {"late", EffectState::rejected}};
    EXPECT_EQ(r->effects, effects);
    EXPECT_TRUE(run("c").value_or(RunState{}).cancelled);
    const std::vector<HeldEffect> waiting = held();
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_TRUE(waiting[0].effect_key == "kept" && waiting[0].detail == R"({"n":1})" && waiting[0].deadline_ms == 0);
    const std::vector<AuditEntry> log = audit(newest(1));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].event == AuditEvent::expired && log[0].effect_key == "late");
    EXPECT_EQ(ask(submit("r", "late", true)), kRejected);
    EXPECT_EQ(ask(decide("r", "kept", true)), kRelease);
}

TEST_P(StoreContract, ASharedStoreTellsWhatOtherServersCommitted) {
    if (!GetParam().shared) GTEST_SKIP() << GetParam().name << ": serves one server only";
    std::vector<Heard> there;
    const std::unique_ptr<Store> other = open(there);
    ASSERT_NE(other, nullptr);
    const auto heard_there = [&] { return !there.empty(); };
    // The other listens from a moment after load(): what is committed before then is
    // not heard, so commit until something is.
    for (int i = 0; i < 100 && !heard_there(); ++i) {
        ask(submit("r", "k" + std::to_string(i), true));
        run_until(heard_there, milliseconds(100));
    }
    ASSERT_TRUE(heard_there());
    const Heard& heard = there.front();
    EXPECT_TRUE(heard.elsewhere);
    EXPECT_EQ(heard.batch, 0u);
    ASSERT_TRUE(heard.request.has_value());
    EXPECT_TRUE(heard.request->op == Operation::submit && heard.request->run_id == "r" && heard.request->flag);
    EXPECT_EQ(heard.verdict, "held_for_approval");
    ASSERT_EQ(heard.changes.size(), 1u);
    EXPECT_EQ(heard.changes[0].effect_key, heard.request->effect_key);
    EXPECT_EQ(heard.changes[0].state, EffectState::pending);
    EXPECT_TRUE(heard.door == Door::line && heard.who == "10.0.0.1:9");
    for (const Heard& own : heard_) EXPECT_FALSE(own.elsewhere);
    EXPECT_EQ(got(other->read_pending_count()), held().size());
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContract,
                         testing::Values(StoreKind{"memory", false, false, false},
                                         StoreKind{"sqlite", true, true, false},
                                         StoreKind{"postgresql", true, true, true}),
                         [](const testing::TestParamInfo<StoreKind>& info) { return info.param.name; });

}  // namespace
}  // namespace latchwork::server
