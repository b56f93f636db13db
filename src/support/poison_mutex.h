// poison_mutex.h: a mutex that remembers a fault that unwound through it.
//
// A Gate's ledger or a client's connection may be half-changed when an internal fault
// escapes while the lock is held; from then on the object must refuse every call
// instead of working on state whose invariants may be broken.
#pragma once

#include <mutex>

#include "support/internal_fault.h"

namespace latchwork {

inline constexpr const char* kPoisonedLockMessage =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

class PoisonMutex {
public:
    // Runs `work` holding the lock. Throws InternalFault, without running it, when an
    // earlier holder was unwound by an exception; an exception out of `work` poisons
    // the lock for good.
    template <class Work>
    auto run_locked(Work&& work) -> decltype(work()) {
        std::lock_guard<std::mutex> held(mutex_);
        if (poisoned_) throw InternalFault(kPoisonedLockMessage);
        try {
            return work();
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    bool poisoned() const noexcept { return poisoned_; }

private:
    std::mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_
};

}  // namespace latchwork
