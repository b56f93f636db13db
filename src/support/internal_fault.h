// internal_fault.h: the one exception type of the native core, for broken invariants only.
//
// Ordinary failures are values (Result). An InternalFault means the code itself is
// wrong; it is thrown where the invariant breaks and caught only at the interpreter
// boundary, which turns it into PanicException.
#pragma once

#include <string>
#include <utility>

namespace latchwork {

class InternalFault {
public:
    // The defaults record where the fault was raised (GCC and Clang builtins, which
    // unlike std::source_location work with every standard library we build with).
    explicit InternalFault(std::string message, const char* file = __builtin_FILE(),
                           unsigned line = __builtin_LINE())
        : message_(std::move(message)), file_(file), line_(line) {}

    const std::string& message() const noexcept { return message_; }
    const char* file() const noexcept { return file_; }
    unsigned line() const noexcept { return line_; }

private:
    std::string message_;
    const char* file_;
    unsigned line_;
};

}  // namespace latchwork
