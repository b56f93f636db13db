// sqlite_recorder_test.cpp: the batcher groups what the network thread records,
// posts each batch's durability back, and turns a failed commit into the seam's failure.
#include "server/store/sqlite/sqlite_recorder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace latchwork::server {
namespace {

namespace fs = std::filesystem;

class SqliteRecorderTest : public ::testing::Test {
protected:
    SqliteRecorderTest() {
        std::string pattern = (fs::temp_directory_path() / "latchwork-commit-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        directory = pattern;
        path = (directory / "gate.db").string();
    }
    ~SqliteRecorderTest() override {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    std::unique_ptr<SqliteRecorder> open(RunLedger& ledger) {
        Result<SqliteFile> opened = SqliteFile::open(path);
        EXPECT_TRUE(opened.ok()) << opened.error();
        auto store = std::make_unique<SqliteRecorder>(io, std::move(opened).value());
        EXPECT_TRUE(store->load(ledger).ok());
        store->set_durable_listener([this] { ++told; });
        return store;
    }

    // Runs the network thread's side until the store has said all it has to say.
    void run_until(const std::function<bool()>& done) {
        while (!done()) {
            io.restart();
            io.run_one_for(std::chrono::seconds(10));
        }
    }

    static StateChange released(int n) {
        return effect_state_change("r", std::to_string(n), EffectState::released);
    }

    fs::path directory;
    std::string path;
    boost::asio::io_context io{1};
    int told = 0;
};

TEST_F(SqliteRecorderTest, WhatIsRecordedWhileACommitIsOnItsWayGoesIntoOneBatch) {
    constexpr int kRequests = 2000;
    {
        RunLedger ledger;
        auto store = open(ledger);
        EXPECT_EQ(store->last_recorded(), 0u);
        for (int n = 0; n < kRequests; ++n) {
            const StateChange change = released(n);
            const std::uint64_t batch = store->record({&change, 1}, {});
            EXPECT_EQ(batch, store->last_recorded());
        }
        // The first commit took a few requests at most; the rest waited for the next.
        EXPECT_LT(store->last_recorded(), 100u);
        run_until([&] { return store->durable() == store->last_recorded(); });
        EXPECT_GE(told, 1);
        EXPECT_EQ(store->failure(), nullptr);
    }
    RunLedger reloaded;
    auto again = open(reloaded);
    EXPECT_EQ(reloaded.state_len(), static_cast<std::uint64_t>(kRequests));
}

TEST_F(SqliteRecorderTest, AFailedCommitBecomesTheStoresFailureOnTheNetworkThread) {
    RunLedger ledger;
    auto store = open(ledger);
    const StateChange first = released(1);
    store->record({&first, 1}, {});
    run_until([&] { return store->durable() == 1; });
    fs::remove(path);
    const StateChange second = released(2);
    EXPECT_EQ(store->record({&second, 1}, {}), 2u);
    run_until([&] { return store->failure() != nullptr; });
    EXPECT_EQ(store->durable(), 1u);
    EXPECT_EQ(store->failure()->message.rfind("store failed: ", 0), 0u) << store->failure()->message;
}

}  // namespace
}  // namespace latchwork::server
