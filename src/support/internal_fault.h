// internal_fault.h: the one exception type of the native core, for broken invariants only.
//
// Ordinary failures are values (Result). An InternalFault means the code itself is
// wrong; it is thrown where the invariant breaks and caught only at the interpreter
// boundary, which turns it into PanicException.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace latchwork {

class InternalFault {
public:
    explicit InternalFault(std::string message,
                           std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

}  // namespace latchwork
