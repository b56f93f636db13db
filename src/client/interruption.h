// interruption.h: how the caller decides whether a socket call cut short by a signal goes on.
#pragma once

#include <memory>
#include <optional>
#include <type_traits>

#include "support/result.h"

namespace latchwork {

// Asked each time a blocking connect, poll, send or receive returns EINTR: true gives
// the whole operation up, false retries it as if nothing had happened. The client
// code knows nothing about why the caller gives up; the caller keeps its own reason
// (the Python layer keeps the exception a signal handler raised).
//
// A non-owning reference to a callable, like a function pointer with a context: the
// callable must outlive every operation it is passed to. Default-constructed, it
// never gives up, which is how a plain blocking call behaves.
class InterruptCheck {
public:
    InterruptCheck() noexcept = default;

    template <class Callable>
        requires(!std::is_same_v<std::remove_cvref_t<Callable>, InterruptCheck> &&
                 std::is_invocable_r_v<bool, Callable&>)
    InterruptCheck(Callable& callable) noexcept  // NOLINT: converting on purpose
        : context_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          call_([](void* context) -> bool { return (*static_cast<Callable*>(context))(); }) {}

    // Not noexcept: the caller's callable may end the thread by unwinding it (a thread
    // that takes the interpreter lock back while the interpreter shuts down).
    bool give_up() const { return call_ != nullptr && call_(context_); }

private:
    void* context_ = nullptr;
    bool (*call_)(void*) = nullptr;
};

// The outcome of an operation that may be given up: nullopt when the InterruptCheck
// asked for that, with nothing else to report; otherwise the operation's own result.
template <class T>
using Interruptible = std::optional<Result<T>>;

}  // namespace latchwork
