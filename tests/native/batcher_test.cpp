// batcher_test.cpp: group commit: what comes while a commit is in flight shares the next
// batch, batches commit in order, upkeep runs when due even under load, and a stop
// commits what is still open.
#include "server/store/batcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace latchwork::server {
namespace {

struct Numbers {
    std::vector<int> values;
    bool empty() const noexcept { return values.empty(); }
    std::size_t requests() const noexcept { return values.size(); }
    void clear() { values.clear(); }
};

class BatcherTest : public ::testing::Test {
protected:
    void start(std::function<std::optional<Batcher<Numbers>::Clock::time_point>()> due = {},
               std::function<void()> upkeep = {}) {
        batcher.start({[this](std::uint64_t number, Numbers& batch) {
                           if (hold_first) first_commit_started.set_value();
                           if (hold_first) release_first.get_future().wait();
                           hold_first = false;
                           const std::lock_guard lock(mutex);
                           committed.emplace_back(number, batch.values);
                       },
                       std::move(due), std::move(upkeep)});
    }
    std::uint64_t add(int value) {
        return batcher.add([value](Numbers& open) { open.values.push_back(value); });
    }

    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, std::vector<int>>> committed;
    bool hold_first = false;
    std::promise<void> first_commit_started;
    std::promise<void> release_first;
    Batcher<Numbers> batcher;  // last: stopped before the rest goes
};

TEST_F(BatcherTest, WhatComesDuringACommitIsOneBatchAndBatchesCommitInOrder) {
    hold_first = true;
    start();
    EXPECT_EQ(add(0), 1u);
    first_commit_started.get_future().wait();
    for (int value = 1; value <= 50; ++value) EXPECT_EQ(add(value), 2u);
    release_first.set_value();
    batcher.stop();  // commits what is still open
    std::vector<int> second(50);
    for (int value = 1; value <= 50; ++value) second[value - 1] = value;
    ASSERT_EQ(committed.size(), 2u);
    EXPECT_EQ(committed[0], (std::pair<std::uint64_t, std::vector<int>>{1, {0}}));
    EXPECT_EQ(committed[1], (std::pair<std::uint64_t, std::vector<int>>{2, second}));
}

TEST_F(BatcherTest, UpkeepRunsWhenDueBetweenBatchesAndUnderLoad) {
    using Clock = Batcher<Numbers>::Clock;
    std::atomic<int> upkeeps{0};
    std::atomic<bool> busy{true};
    Clock::time_point due = Clock::now();  // the batcher's thread alone reads and moves it
    start([&]() -> std::optional<Clock::time_point> { return due; },
          [&] {
              ++upkeeps;
              due = Clock::now() + std::chrono::milliseconds(5);
          });
    // A load that never lets the thread idle still leaves room for the upkeep.
    std::thread load([&] {
        while (busy) add(1);
    });
    while (upkeeps < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    busy = false;
    load.join();
    batcher.stop();
    EXPECT_GE(upkeeps.load(), 3);
    EXPECT_FALSE(committed.empty());
}

}  // namespace
}  // namespace latchwork::server
