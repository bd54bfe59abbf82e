#pragma once
// A small fixed pool of worker threads for per-frame pixel work: `run(count, body)` calls
// body(0) ... body(count - 1) spread over the workers and the calling thread, and returns when
// every call has finished. Several threads may call `run` at once; each waits for its own items.
// Work arrives in bursts (the passes of one frame), so idle workers spin briefly before sleeping.

#include <functional>
#include <memory>

namespace mivodrell {

class WorkerPool {
public:
    // `threadCount` threads take part in a loop, the caller included (so threadCount - 1 are
    // started). Clamped to 1 ... 64.
    explicit WorkerPool(int threadCount);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threadCount() const { return threadCount_; }

    // `body` must not throw.
    void run(int count, const std::function<void(int)>& body);

    // The number of threads a pool should use on this machine, at most `limit`.
    static int defaultThreadCount(int limit);

    struct Pool;

private:
    int threadCount_;
    std::unique_ptr<Pool> pool_;
};

}  // namespace mivodrell
