// batcher.h: group commit: requests gathered into batches, one batch committed at a time on a thread of its own.
//
// The network thread adds each request to the open batch and goes on; the batcher's
// thread, whenever it is free, takes the whole open batch (everything that came while
// the previous commit was on its way to the disk) and commits it. Batches are
// numbered 1, 2, 3, ... and committed in that order; the commit step tells the
// network thread when one is done (each store its own way).
//
// A thread that takes the open batch the moment it is free splits busy clients in
// two: the few whose next requests came first go alone into one commit, the rest wait
// a whole commit for the next. So when the last batch held more than one request, it
// waits a little (at most half a commit, and no longer than a millisecond) for as many
// requests again before it takes the batch; one client alone never waits.
//
// Between batches, and under a load that never lets it idle, it runs the store's
// upkeep whenever that is due (folding a journal, reconnecting, ...).
//
// A lone client pays for the hand-offs: waking the idle thread for its request, and
// the thread waking the network thread for its reply, each a sleeping CPU woken. A
// store whose commit may block the adding thread (a local file, not a network round
// trip) can have such a batch committed there instead: when the thread is idle and
// the last few batches held one request each, the request that opens the next batch
// claims it, the thread is not woken, and `commit_here_soon` asks the adding thread
// to call commit_here() once it has added what it read with it. (One batch of one is
// no sign of a lone client: busy ones leave one now and then, and a commit that
// blocks their network thread shows in their slowest replies.) Batches still commit
// one at a time, in order; the thread keeps every other batch and the upkeep.
//
// `Batch` is a store's own gathering of requests: default-constructible, with
// `bool empty() const`, `std::size_t requests() const` and `void clear()`.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace latchwork::server {

template <class Batch>
class Batcher {
public:
    using Clock = std::chrono::steady_clock;

    struct Steps {
        // Makes the batch numbered `number` durable, on the batcher's thread.
        std::function<void(std::uint64_t number, Batch& batch)> commit;
        // When the upkeep is due next (nullopt: not until something changes), asked
        // after every commit and every upkeep. May be empty, with upkeep.
        std::function<std::optional<Clock::time_point>()> upkeep_due;
        std::function<void()> upkeep;
        // Optional: asks the thread that adds to call commit_here() soon, on itself.
        std::function<void()> commit_here_soon;
    };

    Batcher() = default;
    ~Batcher() { stop(); }
    Batcher(const Batcher&) = delete;
    Batcher& operator=(const Batcher&) = delete;

    // Starts the thread; the steps must outlive stop().
    void start(Steps steps) {
        steps_ = std::move(steps);
        thread_ = std::thread([this] { run(); });
    }

    // Commits what is still open, then ends the thread. Idempotent.
    void stop() {
        if (!thread_.joinable()) return;
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            claimed_here_ = false;  // the thread commits it, should commit_here() never come
        }
        wake_.notify_one();
        thread_.join();
    }

    // Lets `fill` add one request to the open batch, under the lock; returns the
    // batch's number.
    template <class Fill>
    std::uint64_t add(Fill&& fill) {
        bool wake = false;
        bool claim = false;
        std::uint64_t number = 0;
        {
            const std::lock_guard lock(mutex_);
            const bool was_empty = open_.empty();
            fill(open_);
            claim = was_empty && idle_ && !committing_here_ && lone_batches_ >= kLoneBatches &&
                    steps_.commit_here_soon && !stopping_;
            if (claim) claimed_here_ = true;
            wake = !claim && !claimed_here_ && waiting_ &&
                   (was_empty || (gather_target_ != 0 && open_.requests() == gather_target_));
            number = open_number_;
        }
        if (claim) steps_.commit_here_soon();
        if (wake) wake_.notify_one();
        return number;
    }

    // On the thread that added, after commit_here_soon: commits the claimed batch
    // there. Does nothing when nothing is claimed (a stop came first).
    void commit_here() {
        Batch batch;
        std::uint64_t number = 0;
        {
            const std::lock_guard lock(mutex_);
            if (!claimed_here_) return;
            claimed_here_ = false;
            committing_here_ = true;
            std::swap(batch, open_);
            number = open_number_++;
        }
        const Clock::time_point started = Clock::now();
        steps_.commit(number, batch);
        const Clock::duration took = Clock::now() - started;
        // The upkeep may come due sooner than the idle thread means to look (a first
        // change to fold): then it is woken to look again.
        const std::optional<Clock::time_point> due = upkeep_due();
        bool wake = false;
        {
            const std::lock_guard lock(mutex_);
            committing_here_ = false;
            committed(batch.requests(), took);
            // Not idle: it woke meanwhile and waits for this commit to end.
            wake = !idle_ || !open_.empty() || stopping_ || (due && (!idle_due_ || *due < *idle_due_));
            if (wake) poked_ = true;
        }
        if (wake) wake_.notify_one();
    }

private:
    // The longest a batch waits to fill up, whatever a commit costs.
    static constexpr auto kLongestGather = std::chrono::milliseconds(1);
    // Batches of one in a row that show a lone client.
    static constexpr std::size_t kLoneBatches = 4;

    // Under mutex_, after each commit.
    void committed(std::size_t requests, Clock::duration took) {
        last_requests_ = requests;
        last_took_ = took;
        lone_batches_ = requests <= 1 ? lone_batches_ + 1 : 0;
    }

    std::optional<Clock::time_point> upkeep_due() const {
        return steps_.upkeep_due ? steps_.upkeep_due() : std::nullopt;
    }

    // The thread keeps off the store while the adding thread commits on it.
    bool here() const noexcept { return claimed_here_ || committing_here_; }

    void run() {
        Batch batch;
        std::optional<Clock::time_point> due = upkeep_due();
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return !here(); });
            if (due && Clock::now() >= *due && !stopping_) {
                lock.unlock();
                steps_.upkeep();
                due = upkeep_due();
                lock.lock();
                continue;
            }
            if (open_.empty()) {
                // What was added before a stop is still committed; nothing comes after.
                if (stopping_) return;
                waiting_ = true;
                idle_ = true;
                idle_due_ = due;
                auto has_work = [this] { return !here() && (!open_.empty() || stopping_ || poked_); };
                if (due) {
                    wake_.wait_until(lock, *due, has_work);
                } else {
                    wake_.wait(lock, has_work);
                }
                idle_ = false;
                waiting_ = false;
                if (poked_) {
                    poked_ = false;
                    lock.unlock();
                    due = upkeep_due();
                    lock.lock();
                }
                continue;
            }
            if (last_requests_ > 1 && open_.requests() < last_requests_ && !stopping_) {
                // The clients of the last batch are sending their next requests.
                const Clock::duration window = std::min<Clock::duration>(last_took_ / 2, kLongestGather);
                gather_target_ = last_requests_;
                waiting_ = true;
                wake_.wait_for(lock, window,
                               [this] { return open_.requests() >= gather_target_ || stopping_; });
                waiting_ = false;
                gather_target_ = 0;
            }
            std::swap(batch, open_);
            const std::size_t requests = batch.requests();
            const std::uint64_t number = open_number_++;
            lock.unlock();
            const Clock::time_point started = Clock::now();
            steps_.commit(number, batch);
            const Clock::duration took = Clock::now() - started;
            batch.clear();
            due = upkeep_due();
            lock.lock();
            committed(requests, took);
        }
    }

    Steps steps_;

    // Shared by both threads, under mutex_.
    std::mutex mutex_;
    std::condition_variable wake_;
    Batch open_;                     // the batch being filled
    std::uint64_t open_number_ = 1;  // its number
    std::size_t gather_target_ = 0;  // while gathering: the requests waited for
    bool waiting_ = false;           // the thread waits for work or for a fuller batch
    bool idle_ = false;              // the thread waits for work, with nothing open
    std::optional<Clock::time_point> idle_due_;  // meanwhile: when it looks at the upkeep
    bool claimed_here_ = false;      // the open batch is the adding thread's to commit
    bool committing_here_ = false;   // the adding thread commits a batch
    std::size_t last_requests_ = 0;  // in the batch committed last
    std::size_t lone_batches_ = 0;   // batches of one in a row, up to the last
    Clock::duration last_took_{};    // what committing it took
    bool stopping_ = false;
    bool poked_ = false;             // after commit_here(): the thread looks at the upkeep's time again

    std::thread thread_;  // last, so it starts after and stops before the rest
};

}  // namespace latchwork::server
