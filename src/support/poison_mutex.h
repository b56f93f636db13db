// poison_mutex.h: a lock that remembers a fault that unwound through it.
//
// A Gate's ledger or a client's connection may be half-changed when an internal fault
// escapes while the lock is held; from then on the object must refuse every call
// instead of working on state whose invariants may be broken.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "support/internal_fault.h"

namespace latchwork {

inline constexpr const char* kPoisonedLockMessage =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

// For work that is short and never blocks: the uncontended path is one atomic
// exchange and one release store, and a waiter yields its time slice instead of
// sleeping. (The gate's ledger work also runs under the interpreter lock, so its
// lock is in practice never contended.)
class SpinLock {
public:
    void lock() noexcept {
        while (locked_.exchange(true, std::memory_order_acquire)) {
            while (locked_.load(std::memory_order_relaxed)) std::this_thread::yield();
        }
    }
    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

// Lock is SpinLock for short work, std::mutex for work that may wait (a network
// exchange), where waiters must sleep rather than spin.
template <class Lock>
class Poisonable {
public:
    // Runs `work` holding the lock. Throws InternalFault, without running it, when an
    // earlier holder was unwound by an exception; an exception out of `work` poisons
    // the lock for good.
    template <class Work>
    auto run_locked(Work&& work) -> decltype(work()) {
        std::lock_guard<Lock> held(lock_);
        if (poisoned_) throw InternalFault(kPoisonedLockMessage);
        try {
            return work();
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

private:
    Lock lock_;
    bool poisoned_ = false;  // guarded by lock_
};

}  // namespace latchwork
