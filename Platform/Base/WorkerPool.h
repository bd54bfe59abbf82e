#pragma once
// A small fixed pool of worker threads for per-frame pixel work: `run(count, body)` calls
// body(0) ... body(count - 1) spread over the workers and the calling thread, and returns when
// every call has finished. Several threads may call `run` at once; each waits for its own items.
// Work that arrives in bursts (the passes of one frame) is served best by workers that spin a
// little before they sleep, giving way to any other thread that is ready to run; a pool whose
// loops come one a frame gives them no spin at all, so that they leave the cores at once to
// whoever needs them next (an encoder's own threads).
// Bad input: a thread count outside 1 ... 64 is clamped, a negative spin counts as none.

#include <chrono>
#include <functional>
#include <memory>

namespace mivodrell {

class WorkerPool {
public:
    // `threadCount` threads take part in a loop, the caller included (so threadCount - 1 are
    // started). Clamped to 1 ... 64. An idle worker spins for `spin` before it sleeps.
    static constexpr std::chrono::microseconds burstSpin{200};
    explicit WorkerPool(int threadCount, std::chrono::microseconds spin = burstSpin);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threadCount() const { return threadCount_; }

    // `body` must not throw.
    void run(int count, const std::function<void(int)>& body);

    // The cores this process may run on (its affinity mask, which a cpuset or taskset narrows),
    // at least 1.
    static int availableCores();
    // The number of threads a pool should use on this machine: its available cores, at most
    // `limit`.
    static int defaultThreadCount(int limit);

    struct Pool;

private:
    int threadCount_;
    std::unique_ptr<Pool> pool_;
};

}  // namespace mivodrell
