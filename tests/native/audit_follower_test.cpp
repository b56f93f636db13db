// audit_follower_test.cpp: a seq missing from the committed log holds back what follows, is passed over, and is still told when it commits.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "server/store/audit_follower.h"
#include <boost/asio/io_context.hpp>

#include "forwarding_backend.h"
#include "server/store/batch_store.h"

namespace latchwork::server {
namespace {

using namespace std::chrono_literals;
using Seqs = std::vector<std::uint64_t>;

// The memory log with some seqs taken but not committed, as a shared store's log looks
// while another server's transaction is open.
class OpenCommits final : public testing::ForwardingBackend {
public:
    std::set<std::uint64_t> open;

    void add(int count, std::int64_t at_ms = unix_time_ms()) {
        for (int i = 0; i < count; ++i) {
            AuditEntry entry;
            entry.run_id = "r";
            entry.at_ms = at_ms;
            inner_.write({}, std::span<const AuditEntry>(&entry, 1));
        }
    }
    Result<std::vector<AuditEntry>> read_audit(const AuditQuery& query) override {
        Result<std::vector<AuditEntry>> read = inner_.read_audit(query);
        std::erase_if(read.value(), [&](const AuditEntry& entry) { return open.contains(entry.seq); });
        return read;
    }
};

using Told = std::pair<Seqs, Seqs>;  // (late, in order)

struct Follow {
    explicit Follow(FollowSettings settings = {})
        : log(new OpenCommits), store(std::unique_ptr<StoreBackend>(log), io), follower(store, settings) {}

    Told read(std::chrono::milliseconds at) {  // `at` after the clock's start
        // The memory store reads what it holds: the read completes before it returns.
        std::optional<Result<AuditFollower::Read>> got;
        follower.read(100, [&](Result<AuditFollower::Read> read) { got = std::move(read); },
                      AuditFollower::Clock::time_point() + at);
        Told told;
        for (const AuditEntry& entry : got->value().late) told.first.push_back(entry.seq);
        for (const AuditEntry& entry : got->value().entries) told.second.push_back(entry.seq);
        return told;
    }

    boost::asio::io_context io;
    OpenCommits* log;
    BatchStore store;
    AuditFollower follower;
};

TEST(AuditFollower, AGapHoldsBackThenIsPassedOverAndToldOnceWhenItCommits) {
    Follow follow;
    follow.log->add(2);
    ASSERT_TRUE(follow.follower.start([](bool started) { ASSERT_TRUE(started); }));
    EXPECT_EQ(follow.follower.cursor(), 2u);  // from the newest on, not the past
    follow.log->add(5);
    follow.log->open = {4, 6};
    EXPECT_EQ(follow.read(0s), (Told{{}, {3}}));
    EXPECT_EQ(follow.read(2s), (Told{{}, {}}));  // 4 is waited for
    // Passed over after the wait; 6 then has a wait of its own.
    EXPECT_EQ(follow.read(3s), (Told{{}, {5}}));
    EXPECT_TRUE(follow.follower.awaits(4));
    follow.log->open = {6};
    EXPECT_EQ(follow.read(4s), (Told{{4}, {}}));
    EXPECT_FALSE(follow.follower.awaits(4));
    EXPECT_EQ(follow.read(6s), (Told{{}, {7}}));
    follow.log->open.clear();
    EXPECT_EQ(follow.read(7s), (Told{{6}, {}}));
    EXPECT_EQ(follow.read(8s), (Told{{}, {}}));
    // A late entry whose delivery was lost is read again.
    follow.follower.look_again(6);
    EXPECT_EQ(follow.read(9s), (Told{{6}, {}}));
}

TEST(AuditFollower, ForgetsBeyondTheBoundTheRetentionAndAboveANewStart) {
    Follow follow(FollowSettings{0ms, 1h, 2});
    follow.log->add(6);
    follow.log->open = {1, 2, 3};
    follow.follower.start_at(0);
    EXPECT_EQ(follow.read(0s), (Told{{}, {}}));
    EXPECT_EQ(follow.read(0s), (Told{{}, {4, 5, 6}}));
    EXPECT_EQ(Seqs({follow.follower.awaits(1), follow.follower.awaits(2), follow.follower.awaits(3)}),
              (Seqs{0, 1, 1}));  // the newest two
    follow.follower.start_at(2);  // read again from 3 on, which is waited for anew
    EXPECT_EQ(Seqs({follow.follower.awaits(2), follow.follower.awaits(3)}), (Seqs{1, 0}));
    follow.log->open.clear();
    EXPECT_EQ(follow.read(1h), (Told{{}, {3, 4, 5, 6}}));  // 2: past the retention

    // A gap in a log read behind its pruning is not looked for: it would be pruned.
    follow.log->add(2, unix_time_ms() - 2 * 3'600'000);
    follow.log->open = {7};
    EXPECT_EQ(follow.read(2h), (Told{{}, {}}));
    EXPECT_EQ(follow.read(2h), (Told{{}, {8}}));
    EXPECT_FALSE(follow.follower.awaits(7));
}

}  // namespace
}  // namespace latchwork::server
