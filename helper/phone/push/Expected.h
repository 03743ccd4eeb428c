#pragma once

#include <optional>
#include <string>
#include <utility>

namespace ringlark::helper::push {

// Why something could not be done, in words a log line can carry.
struct Failure {
    std::string error;
};

// A value or the reason there is none (std::expected is C++23).
template <class T>
class Expected {
public:
    Expected(T value) : value_(std::move(value)) {}
    Expected(Failure failure) : error_(std::move(failure.error)) {}

    explicit operator bool() const { return value_.has_value(); }
    const T& operator*() const& { return *value_; }
    T& operator*() & { return *value_; }
    T&& operator*() && { return std::move(*value_); }
    const T* operator->() const { return &*value_; }
    const std::string& error() const { return error_; }

private:
    std::optional<T> value_;
    std::string error_;
};

} // namespace ringlark::helper::push
