#include "Platform/Base/WorkerPool.h"

#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace mivodrell {

namespace {

// One call of run. The items are split into one contiguous range per thread of the pool; a thread
// runs its own range first and then takes what is left of the others'. Consecutive calls thus give
// a thread the same part of the work (the same rows of a picture, for example), which keeps the
// memory it wrote in its own cache, while a late or busy thread still holds nobody up.
struct Job {
    static constexpr int kMaxSlots = 64;
    // Each claim counter on a cache line of its own, so that threads claiming from different
    // ranges do not contend.
    struct alignas(64) Range {
        std::atomic<int> next{0};
        int end = 0;
    };

    Job(const std::function<void(int)>& jobBody, int itemCount, int slotCount)
        : body(&jobBody), count(itemCount), slots(std::clamp(slotCount, 1, std::min(kMaxSlots, itemCount))) {
        for (int slot = 0; slot < slots; ++slot) {
            const int begin = static_cast<int>(static_cast<long long>(count) * slot / slots);
            ranges[static_cast<std::size_t>(slot)].next.store(begin, std::memory_order_relaxed);
            ranges[static_cast<std::size_t>(slot)].end =
                static_cast<int>(static_cast<long long>(count) * (slot + 1) / slots);
        }
    }

    bool fullyClaimed() const {
        for (int slot = 0; slot < slots; ++slot) {
            const Range& range = ranges[static_cast<std::size_t>(slot)];
            if (range.next.load(std::memory_order_relaxed) < range.end) return false;
        }
        return true;
    }

    const std::function<void(int)>* body = nullptr;
    int count = 0;
    int slots = 1;
    std::array<Range, kMaxSlots> ranges{};
    alignas(64) std::atomic<int> done{0};
};

}  // namespace

struct WorkerPool::Pool {
    std::mutex mutex;
    std::condition_variable workAvailable;
    std::condition_variable jobFinished;
    std::deque<std::shared_ptr<Job>> jobs;  // submitted jobs; workers drop fully claimed ones
    bool stopping = false;
    std::vector<std::thread> threads;

    // Runs items of `job` until none is left unclaimed: those of the range of `slot` first.
    static void drain(Job& job, Pool& pool, int slot) {
        for (int k = 0; k < job.slots; ++k) {
            Job::Range& range = job.ranges[static_cast<std::size_t>((slot + k) % job.slots)];
            for (;;) {
                if (range.next.load(std::memory_order_relaxed) >= range.end) break;
                const int index = range.next.fetch_add(1, std::memory_order_relaxed);
                if (index >= range.end) break;
                (*job.body)(index);
                if (job.done.fetch_add(1, std::memory_order_acq_rel) + 1 == job.count) {
                    // The last item: wake the submitter (it may be waiting).
                    std::lock_guard<std::mutex> lock(pool.mutex);
                    pool.jobFinished.notify_all();
                }
            }
        }
    }

    // Where work arrives in bursts (the passes of one frame follow each other within a fraction
    // of a millisecond), an idle worker first spins on `generation` for up to `spin` before it
    // sleeps; waking a sleeping thread costs far more.
    std::chrono::microseconds spin{0};
    std::atomic<std::uint64_t> generation{0};
    int sleepers = 0;  // guarded by mutex
    // The job submitted last, for spinning workers to join without taking the mutex.
    std::atomic<std::shared_ptr<Job>> latest;

    // `slot`: this thread's range in every job (the submitting thread has 0).
    void workerLoop(int slot) {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (stopping) return;
            if (!jobs.empty()) {
                std::shared_ptr<Job> job = jobs.front();
                if (job->fullyClaimed()) {
                    // Fully claimed: nobody needs to look at it again.
                    jobs.pop_front();
                    continue;
                }
                lock.unlock();
                drain(*job, *this, slot);
                lock.lock();
                continue;
            }
            const std::uint64_t seen = generation.load(std::memory_order_acquire);
            lock.unlock();
            const auto spinUntil = std::chrono::steady_clock::now() + spin;
            bool woken = false;
            for (int round = 0; !woken && spin.count() > 0; ++round) {
                woken = generation.load(std::memory_order_acquire) != seen;
                if (!woken && (round & 63) == 63) {
                    if (std::chrono::steady_clock::now() >= spinUntil) break;
                    // A spinning worker gives its core to any thread that is ready to run (an
                    // encoder's, once the frame's pixel work is done) instead of holding it.
                    std::this_thread::yield();
                }
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            }
            if (woken) {
                if (auto job = latest.load(std::memory_order_acquire); job && !job->fullyClaimed()) {
                    drain(*job, *this, slot);
                }
            }
            lock.lock();
            if (woken || stopping || !jobs.empty()) continue;
            ++sleepers;
            workAvailable.wait(lock, [&] { return stopping || !jobs.empty(); });
            --sleepers;
        }
    }
};

WorkerPool::WorkerPool(int threadCount, std::chrono::microseconds spin)
    : threadCount_(std::clamp(threadCount, 1, 64)), pool_(std::make_unique<Pool>()) {
    pool_->spin = std::max(spin, std::chrono::microseconds{0});
    pool_->threads.reserve(static_cast<std::size_t>(threadCount_ - 1));
    for (int i = 1; i < threadCount_; ++i) {
        pool_->threads.emplace_back([pool = pool_.get(), i] { pool->workerLoop(i); });
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(pool_->mutex);
        pool_->stopping = true;
    }
    pool_->workAvailable.notify_all();
    for (auto& thread : pool_->threads) thread.join();
}

int WorkerPool::availableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 1 : static_cast<int>(std::min(hardware, 1024u));
}

int WorkerPool::defaultThreadCount(int limit) {
    return std::clamp(availableCores(), 1, std::clamp(limit, 1, 64));
}

void WorkerPool::run(int count, const std::function<void(int)>& body) {
    if (count <= 0) return;
    if (threadCount_ == 1 || count == 1) {
        for (int i = 0; i < count; ++i) body(i);
        return;
    }
    auto job = std::make_shared<Job>(body, count, threadCount_);
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(pool_->mutex);
        pool_->jobs.push_back(job);
        pool_->latest.store(job, std::memory_order_release);
        pool_->generation.fetch_add(1, std::memory_order_release);
        wake = pool_->sleepers > 0;
    }
    if (wake) pool_->workAvailable.notify_all();
    Pool::drain(*job, *pool_, 0);
    // The other workers are finishing their last items; they take microseconds.
    const auto spinUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    for (int spin = 0; job->done.load(std::memory_order_acquire) != count; ++spin) {
        if ((spin & 63) == 63 && std::chrono::steady_clock::now() >= spinUntil) break;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    // Every item is claimed, so nobody calls `body` again: the workers drop the job lazily.
    if (job->done.load(std::memory_order_acquire) == count) return;
    std::unique_lock<std::mutex> lock(pool_->mutex);
    pool_->jobFinished.wait(lock, [&] { return job->done.load(std::memory_order_acquire) == count; });
}

}  // namespace mivodrell
