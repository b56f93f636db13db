// call_boundary.h: where every entry from the interpreter begins and ends.
//
// Native code below an entry reports ordinary failures by setting a Python exception
// and returning null (or false). Broken invariants throw InternalFault; the boundary
// is the only place that catches it, and turns it into a raised PanicException with
// a diagnostic on standard error. Nothing ever unwinds into the interpreter.
#pragma once

#include "python/python_api.h"

#include <cxxabi.h>

#include <string>

namespace latchwork {

// Converts the exception in flight into the interpreter's current exception.
// Must be called from inside a catch handler. Ends the process if that fails.
void raise_caught_fault() noexcept;

// Deallocation raises nothing: a failure there goes to the unraisable hook,
// and whatever exception was already pending is kept.
void report_caught_fault_unraisable() noexcept;

// Runs one entry's body; a null result means a Python exception is set.
//
// Not noexcept, for one reason: a thread that takes the interpreter lock back while
// the interpreter is shutting down is ended by the interpreter with pthread_exit,
// which unwinds the stack. That unwinding must pass through to the thread's end;
// every other exception stops here. Its catch clause binds a reference to no C++
// object, which UBSan's null check rejects; the check is off for this function,
// and the function is kept out of line because inlining would drop the attribute.
template <class Body>
__attribute__((noinline, no_sanitize("null"))) PyObject* call_boundary(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        raise_caught_fault();
        return nullptr;
    }
}

template <class Body>
void dealloc_boundary(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        report_caught_fault_unraisable();
    }
}

// The interpreter signalled failure; make sure an exception says so. Returns null.
PyObject* fail_from_interpreter() noexcept;

// For calls that cannot fail on the module's own data (a str or int made from a
// result or a message): a null result is a fault, after the interpreter's
// exception is printed.
PyObject* must(PyObject* created);

}  // namespace latchwork
