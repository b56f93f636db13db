// test_hooks.h: fault injection, compiled only into test builds.
//
// Tests need to see what an internal fault does (a poisoned lock, PanicException, a
// fault during deallocation, a fault while a fault is raised), and valid use can
// never cause one. In a test build, these trigger texts passed as ordinary
// arguments cause them; in every other build the hooks are empty. Likewise for a
// commit held back, which no test could time from outside (commit_hold_file).
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <thread>

#include "support/internal_fault.h"

namespace latchwork::test_hooks {

inline constexpr std::string_view kFaultUnderLock = "latchwork-test:fault-under-lock";
inline constexpr std::string_view kFaultOnDealloc = "latchwork-test:fault-on-dealloc";
inline constexpr std::string_view kFaultWhileRaising = "latchwork-test:fault-while-raising";

#ifdef LATCHWORK_TEST_HOOKS
inline constexpr bool kEnabled = true;
#else
inline constexpr bool kEnabled = false;
#endif

// Throws an injected fault when asked to, from inside the object's lock.
inline void fault_under_lock(std::string_view argument) {
    if (kEnabled && (argument == kFaultUnderLock || argument == kFaultWhileRaising)) {
        throw InternalFault(std::string(argument));
    }
}

// Faults again while the first fault is being raised, which must end the process.
inline void fault_while_raising(std::string_view message) {
    if (kEnabled && message == kFaultWhileRaising) throw InternalFault("fault while raising");
}

// The file named by $LATCHWORK_TEST_HOLD_COMMIT, while it exists, holds the shared
// store's commits with their writes made (their seqs taken), so that a test can have
// another server commit later seqs first. Null when unset, and always in other builds.
inline const char* commit_hold_file() {
    return kEnabled ? std::getenv("LATCHWORK_TEST_HOLD_COMMIT") : nullptr;
}

// Waits while `file` exists, a minute at most; says so first, so a test knows when.
inline void hold_commit(const char* file) {
    std::fprintf(stderr, "test hook: a commit waits while %s exists\n", file);
    std::fflush(stderr);
    for (int waited = 0; waited < 1200 && std::filesystem::exists(file); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace latchwork::test_hooks
