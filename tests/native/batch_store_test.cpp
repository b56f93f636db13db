// batch_store_test.cpp: over a SQLite file, the loop groups what the network thread
// takes, posts each batch's durability back, and turns a failed write into the store's failure.
#include "server/store/batch_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "server/store/sqlite/sqlite_backend.h"

namespace latchwork::server {
namespace {

namespace fs = std::filesystem;

class BatchStoreTest : public ::testing::Test {
protected:
    BatchStoreTest() {
        std::string pattern = (fs::temp_directory_path() / "latchwork-commit-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        directory = pattern;
        path = (directory / "gate.db").string();
    }
    ~BatchStoreTest() override {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    std::unique_ptr<BatchStore> open() {
        Result<SqliteFile> opened = SqliteFile::open(path);
        EXPECT_TRUE(opened.ok()) << opened.error();
        auto store = std::make_unique<BatchStore>(std::make_unique<SqliteBackend>(std::move(opened).value()), io);
        EXPECT_TRUE(store->load().ok());
        store->set_durable_listener([this] { ++told; });
        return store;
    }
    static std::size_t state_len(BatchStore& store) {
        return static_cast<SqliteBackend&>(store.backend()).resident().ledger().state_len();
    }

    // Runs the network thread's side until the store has said all it has to say.
    void run_until(const std::function<bool()>& done) {
        while (!done()) {
            io.restart();
            io.run_one_for(std::chrono::seconds(10));
        }
    }

    static Request submit(int n) {
        Request request;
        request.op = Operation::submit;
        request.run_id = "r";
        request.effect_key = std::to_string(n);
        return request;
    }
    const DecisionSource line{DecisionSource::Door::line, "10.0.0.1:9", false, {}};

    fs::path directory;
    std::string path;
    boost::asio::io_context io{1};
    int told = 0;
};

TEST_F(BatchStoreTest, WhatIsRecordedWhileACommitIsOnItsWayGoesIntoOneBatch) {
    constexpr int kRequests = 2000;
    {
        auto store = open();
        EXPECT_EQ(store->last_recorded(), 0u);
        for (int n = 0; n < kRequests; ++n) {
            const std::uint64_t batch = store->answer(submit(n), line).wait_for;
            EXPECT_EQ(batch, store->last_recorded());
        }
        // The first commit took a few requests at most; the rest waited for the next.
        EXPECT_LT(store->last_recorded(), 100u);
        run_until([&] { return store->durable() == store->last_recorded(); });
        EXPECT_GE(told, 1);
        EXPECT_EQ(store->failure(), nullptr);
    }
    auto again = open();
    EXPECT_EQ(state_len(*again), static_cast<std::size_t>(kRequests));
}

TEST_F(BatchStoreTest, AFailedCommitBecomesTheStoresFailureOnTheNetworkThread) {
    auto store = open();
    store->answer(submit(1), line);
    run_until([&] { return store->durable() == 1; });
    fs::remove(path);
    EXPECT_EQ(store->answer(submit(2), line).wait_for, 2u);
    run_until([&] { return store->failure() != nullptr; });
    EXPECT_EQ(store->durable(), 1u);
    EXPECT_EQ(store->failure()->message.rfind("store failed: ", 0), 0u) << store->failure()->message;
}

}  // namespace
}  // namespace latchwork::server
