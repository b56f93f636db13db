// result.h: a value or a failure message, the way native operations report errors.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace latchwork {

// A failure with its complete, fixed message text.
struct Failure {
    std::string message;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T& value() const& { return std::get<0>(state_); }
    const std::string& error() const { return std::get<1>(state_).message; }
    Failure&& take_failure() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Failure> state_;
};

}  // namespace latchwork
