// call_boundary.cpp: faults to PanicException, and the exception type itself.
#include "python/call_boundary.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "python/py_ref.h"
#include "support/internal_fault.h"
#include "support/test_hooks.h"

namespace latchwork {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when latchwork's native code fails.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException rather than Exception,\n"
    "so that it normally propagates through the whole stack and ends the interpreter.\n";

constexpr const char* kGenericFaultMessage = "latchwork internal fault";

[[noreturn]] void die_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// Created on first need and kept for the rest of the process.
PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
        if (type == nullptr) die_at_boundary();
    }
    return type;
}

void write_diagnostic(const char* file, unsigned line, const std::string& message) {
    std::fprintf(stderr, "latchwork: internal fault at %s:%u: %s\n", file, line, message.c_str());
    std::fflush(stderr);
}

// Builds the PanicException for the exception in flight and makes it current.
void set_panic_from_caught() {
    try {
        throw;
    } catch (const InternalFault& fault) {
        write_diagnostic(fault.file(), fault.line(), fault.message());
        test_hooks::fault_while_raising(fault.message());
        PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
            fault.message().data(), static_cast<Py_ssize_t>(fault.message().size())));
        if (!message) die_at_boundary();
        PyErr_SetObject(panic_exception_type(), message.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        write_diagnostic(__FILE__, __LINE__, kGenericFaultMessage);
        PyErr_SetString(panic_exception_type(), kGenericFaultMessage);
    }
}

}  // namespace

void raise_caught_fault() noexcept {
    try {
        set_panic_from_caught();
    } catch (...) {
        die_at_boundary();
    }
}

void report_caught_fault_unraisable() noexcept {
    try {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        set_panic_from_caught();
        PyErr_WriteUnraisable(nullptr);
        PyErr_Restore(type, value, traceback);
    } catch (...) {
        die_at_boundary();
    }
}

PyObject* fail_from_interpreter() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
}

PyObject* must(PyObject* created) {
    if (created == nullptr) {
        fail_from_interpreter();
        PyErr_Print();
        throw InternalFault("Python API call failed");
    }
    return created;
}

}  // namespace latchwork
