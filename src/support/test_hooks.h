// test_hooks.h: fault injection, compiled only into test builds.
//
// Tests need to see what an internal fault does (a poisoned lock, PanicException, a
// fault during deallocation, a fault while a fault is raised), and valid use can
// never cause one. In a test build, these trigger texts passed as ordinary
// arguments cause them; in every other build the hooks are empty.
#pragma once

#include <string_view>

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

}  // namespace latchwork::test_hooks
