#pragma once
// Makes an asynchronous platform call synchronous: the waiter and the completion handler both
// hold the box through a shared_ptr, so a completion that arrives after the wait gave up is
// harmless. The first completion wins; later ones are ignored.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace mivodrell {

template <class T>
class CompletionBox {
public:
    static std::shared_ptr<CompletionBox> make() { return std::make_shared<CompletionBox>(); }

    // Stores the result and wakes the waiter. Returns false when a result was already stored.
    bool complete(T value) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (value_) return false;
            value_.emplace(std::move(value));
        }
        condition_.notify_all();
        return true;
    }

    // Waits up to `timeoutSeconds` and returns the result, or nothing when it did not come in
    // time. An infinite limit (or one of decades) waits until the result comes; NaN, zero or a
    // negative limit does not wait.
    std::optional<T> wait(double timeoutSeconds) {
        constexpr double kUnbounded = 1e9;  // beyond this the steady clock's arithmetic could overflow
        std::unique_lock<std::mutex> lock(mutex_);
        if (value_ || !(timeoutSeconds > 0)) return value_;
        if (timeoutSeconds >= kUnbounded) {
            condition_.wait(lock, [&] { return value_.has_value(); });
        } else {
            condition_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                [&] { return value_.has_value(); });
        }
        return value_;
    }

    bool isComplete() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_.has_value();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable condition_;
    std::optional<T> value_;
};

}  // namespace mivodrell
