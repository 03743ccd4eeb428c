#pragma once

#include <utility>
#include <variant>

namespace ringlark {

// A value or the error that took its place. A stand-in for std::expected,
// which this standard library does not offer in C++20 mode.
template <typename E>
struct Unexpected {
    E error;
};

template <typename E>
Unexpected<std::decay_t<E>> unexpected(E&& error)
{
    return {std::forward<E>(error)};
}

struct Unit {
    bool operator==(const Unit&) const = default;
};

template <typename T, typename E>
class Expected {
public:
    Expected(T value) : m_data(std::in_place_index<0>, std::move(value)) {}
    template <typename G>
    Expected(Unexpected<G> failure) : m_data(std::in_place_index<1>, std::move(failure.error)) {}

    bool has_value() const { return m_data.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & { return std::get<0>(m_data); }
    const T& value() const& { return std::get<0>(m_data); }
    T&& value() && { return std::get<0>(std::move(m_data)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return std::get<1>(m_data); }
    const E& error() const& { return std::get<1>(m_data); }

private:
    std::variant<T, E> m_data;
};

} // namespace ringlark
