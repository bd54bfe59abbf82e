#include "Platform/WorkerPool.h"

#include <algorithm>

namespace mivodrell {

WorkerPool::WorkerPool(int threadCount) : threadCount_(std::max(1, threadCount)) {
    threads_.reserve(static_cast<std::size_t>(threadCount_ - 1));
    for (int i = 1; i < threadCount_; ++i) threads_.emplace_back([this] { workerLoop(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

int WorkerPool::defaultThreadCount(int limit) {
    const unsigned hardware = std::thread::hardware_concurrency();
    const int available = hardware == 0 ? 1 : static_cast<int>(std::min(hardware, 64u));
    return std::clamp(available, 1, std::max(1, limit));
}

void WorkerPool::run(int count, const std::function<void(int)>& body) {
    if (count <= 0) return;
    if (threads_.empty() || count == 1) {
        for (int i = 0; i < count; ++i) body(i);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        body_ = &body;
        next_ = 0;
        count_ = count;
        finished_ = 0;
        ++generation_;
    }
    wake_.notify_all();
    drain();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return finished_ == count_; });
    body_ = nullptr;
    count_ = 0;
}

// Takes indices until none is left; each finished call is counted.
void WorkerPool::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (body_ != nullptr && next_ < count_) {
        const int index = next_++;
        const auto* body = body_;
        lock.unlock();
        (*body)(index);
        lock.lock();
        if (++finished_ == count_) done_.notify_all();
    }
}

void WorkerPool::workerLoop() {
    std::size_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || (generation_ != seen && body_ != nullptr); });
            if (stopping_) return;
            seen = generation_;
        }
        drain();
    }
}

}  // namespace mivodrell
