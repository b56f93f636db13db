// poison_mutex.h: a mutex that remembers a fault that unwound through it.
//
// A Gate's ledger or a client's connection may be half-changed when an internal fault
// escapes while the lock is held; from then on the object must refuse every call
// instead of working on state whose invariants may be broken.
#pragma once

#include <exception>
#include <mutex>

#include "support/internal_fault.h"

namespace latchwork {

inline constexpr const char* kPoisonedLockMessage =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

class PoisonMutex {
public:
    class Guard;

    // Takes the lock, or throws InternalFault (after releasing it again) when an
    // earlier holder was unwound by a fault.
    Guard lock();

    bool poisoned() const noexcept { return poisoned_; }

private:
    std::mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_
};

class [[nodiscard]] PoisonMutex::Guard {
public:
    explicit Guard(PoisonMutex& owner) : owner_(owner), lock_(owner.mutex_) {
        if (owner_.poisoned_) {
            lock_.unlock();
            throw InternalFault(kPoisonedLockMessage);
        }
        exceptions_at_entry_ = std::uncaught_exceptions();
    }
    ~Guard() {
        // Unwinding by an exception thrown after the lock was taken poisons it.
        if (std::uncaught_exceptions() > exceptions_at_entry_) owner_.poisoned_ = true;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    PoisonMutex& owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_entry_ = 0;
};

inline PoisonMutex::Guard PoisonMutex::lock() { return Guard(*this); }

}  // namespace latchwork
