// batcher_test.cpp: group commit: what comes while a commit is in flight shares the next
// batch, batches commit in order, upkeep runs when due even under load, a stop
// commits what is still open, and a lone client's batch commits on the adding thread.
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
               std::function<void()> upkeep = {}, std::function<void()> commit_here_soon = {}) {
        batcher.start({[this](std::uint64_t number, Numbers& batch) {
                           if (hold_first) first_commit_started.set_value();
                           if (hold_first) release_first.get_future().wait();
                           hold_first = false;
                           const std::lock_guard lock(mutex);
                           committed.emplace_back(number, batch.values);
                           committers.push_back(std::this_thread::get_id());
                       },
                       std::move(due), std::move(upkeep), std::move(commit_here_soon)});
    }
    std::uint64_t add(int value) {
        return batcher.add([value](Numbers& open) { open.values.push_back(value); });
    }

    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, std::vector<int>>> committed;
    std::vector<std::thread::id> committers;
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

TEST_F(BatcherTest, ALoneClientsBatchCommitsWhereItWasAddedOthersOnTheBatchersThread) {
    using Batches = std::vector<std::pair<std::uint64_t, std::vector<int>>>;
    const auto let_it_idle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
    const auto committed_count = [this] {
        const std::lock_guard lock(mutex);
        return committed.size();
    };
    // Four batches of one in a row, committed by the thread, show a lone client.
    const auto alone = [&](int value) {
        const std::size_t before = committed_count();
        add(value);
        while (committed_count() == before) std::this_thread::yield();
    };
    int asked = 0;
    start({}, {}, [&] { ++asked; });
    for (int value = 1; value <= 4; ++value) alone(value);
    EXPECT_EQ(asked, 0);
    let_it_idle();
    add(5);  // claims the batch for this thread
    add(6);  // read with it: joins it, wakes nobody
    EXPECT_EQ(asked, 1);
    batcher.commit_here();
    // Two requests in the last batch: the next ones are the thread's again.
    for (int value = 7; value <= 10; ++value) alone(value);
    let_it_idle();
    add(11);  // claimed again, but a stop comes first: the thread commits it
    batcher.stop();
    batcher.commit_here();  // nothing claimed any more
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(committed, (Batches{{1, {1}}, {2, {2}}, {3, {3}}, {4, {4}}, {5, {5, 6}}, {6, {7}},
                                  {7, {8}}, {8, {9}}, {9, {10}}, {10, {11}}}));
    ASSERT_EQ(committers.size(), 10u);
    for (std::size_t index = 0; index < committers.size(); ++index) {
        EXPECT_EQ(committers[index] == std::this_thread::get_id(), index == 4) << index;
    }
}

}  // namespace
}  // namespace latchwork::server
