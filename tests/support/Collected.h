#pragma once
// Test helper: values delivered on other threads, collected with a bounded wait.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>
namespace mivodrell::testing {
template <class T>
class Collected {
public:
    void add(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    // Whether `count` values arrived within `seconds`.
    bool waitFor(std::size_t count, double seconds = 5) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return values_.size() >= count; });
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_.size();
    }
    T at(std::size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_.at(index);
    }
private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};
}  // namespace mivodrell::testing
