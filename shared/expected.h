// Expected<T, E>: a value or the error that prevented it, for operations that fail with a reason.
#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace korvane {

template <class E>
struct Unexpected {
    // A constructor rather than an aggregate, so that Unexpected(value) deduces on every compiler.
    Unexpected(E value) : error(std::move(value)) {}
    E error;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    Expected(Unexpected<G> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & {
        assert(has_value());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(has_value());
        return std::get<0>(state_);
    }
    T&& value() && { return std::move(std::get<0>(state_)); }
    const E& error() const {
        assert(!has_value());
        return std::get<1>(state_);
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, E> state_;
};

// The void case: success, or an error.
template <class E>
class Expected<void, E> {
public:
    Expected() = default;
    template <class G>
    Expected(Unexpected<G> failure) : error_(std::move(failure.error)), failed_(true) {}

    bool has_value() const { return !failed_; }
    explicit operator bool() const { return has_value(); }
    const E& error() const {
        assert(failed_);
        return error_;
    }

private:
    E error_{};
    bool failed_ = false;
};

}  // namespace korvane
