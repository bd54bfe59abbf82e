#pragma once
// A small fixed pool of worker threads that runs one parallel loop at a time: `run(count, body)`
// calls body(0) ... body(count - 1) spread over the workers and the calling thread, and returns
// when every call has finished. Used to split per-frame pixel work into row bands.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace mivodrell {

class WorkerPool {
public:
    // `threadCount` threads take part in a loop, the caller included (so threadCount - 1 are
    // started). Values below 1 count as 1.
    explicit WorkerPool(int threadCount);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threadCount() const { return threadCount_; }

    // Not re-entrant: one loop at a time, from one owner thread.
    void run(int count, const std::function<void(int)>& body);

    // The number of threads a pool should use on this machine, at most `limit`.
    static int defaultThreadCount(int limit);

private:
    void workerLoop();
    void drain();

    int threadCount_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(int)>* body_ = nullptr;
    int next_ = 0;
    int count_ = 0;
    int finished_ = 0;
    std::size_t generation_ = 0;
    bool stopping_ = false;
};

}  // namespace mivodrell
