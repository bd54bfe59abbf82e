#include "Platform/Base/SerialQueue.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace mivodrell {

using SteadyClock = std::chrono::steady_clock;

struct QueueTimer::Shared {
    std::function<void()> handler;
    SteadyClock::time_point deadline;
    SteadyClock::duration interval{};
    bool repeating = false;
    std::atomic<bool> cancelled{false};
};

struct SerialQueue::State {
    std::string label;
    std::mutex mutex;
    std::condition_variable condition;
    struct Item {
        std::function<void()> work;
        SteadyClock::time_point submitted;
    };
    std::deque<Item> items;
    std::vector<std::shared_ptr<QueueTimer::Shared>> timers;
    bool stopping = false;
    bool waiting = false;  // the thread sleeps on `condition`; only then does a new item need a wake-up
    std::thread thread;

    void run(const std::shared_ptr<State>& self);
};

namespace {
thread_local const SerialQueue::State* tCurrentQueue = nullptr;

SteadyClock::duration secondsToDuration(double seconds) {
    if (!(seconds > 0)) return SteadyClock::duration::zero();
    // A year is "never" for any timer of this engine and keeps the arithmetic far from overflow.
    const double capped = std::min(seconds, 365.0 * 24 * 3600);
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(capped));
}
}  // namespace

void SerialQueue::State::run(const std::shared_ptr<State>& self) {
    tCurrentQueue = self.get();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        // A due timer takes its turn among the work items: it runs before the items submitted after
        // its deadline and after those submitted before it, so neither starves the other.
        const auto now = SteadyClock::now();
        std::shared_ptr<QueueTimer::Shared> dueTimer;
        std::optional<SteadyClock::time_point> nextDeadline;
        for (auto it = timers.begin(); it != timers.end();) {
            if ((*it)->cancelled.load()) {
                it = timers.erase(it);
                continue;
            }
            if ((*it)->deadline <= now && (!dueTimer || (*it)->deadline < dueTimer->deadline)) {
                dueTimer = *it;
            }
            if (!nextDeadline || (*it)->deadline < *nextDeadline) nextDeadline = (*it)->deadline;
            ++it;
        }
        if (dueTimer && !items.empty() && items.front().submitted <= dueTimer->deadline) dueTimer.reset();
        if (dueTimer) {
            if (dueTimer->repeating) {
                // Stay on the grid; deadlines missed while busy collapse into this one call.
                auto next = dueTimer->deadline + dueTimer->interval;
                if (next <= now) {
                    const auto missed = (now - dueTimer->deadline) / dueTimer->interval;
                    next = dueTimer->deadline + (missed + 1) * dueTimer->interval;
                }
                dueTimer->deadline = next;
            } else {
                dueTimer->cancelled.store(true);
            }
            lock.unlock();
            if (!dueTimer->cancelled.load() || !dueTimer->repeating) dueTimer->handler();
            dueTimer.reset();
            lock.lock();
            continue;
        }
        if (!items.empty()) {
            auto work = std::move(items.front().work);
            items.pop_front();
            lock.unlock();
            work();
            work = nullptr;
            lock.lock();
            continue;
        }
        if (stopping) break;
        waiting = true;
        if (nextDeadline) {
            condition.wait_until(lock, *nextDeadline);
        } else {
            condition.wait(lock);
        }
        waiting = false;
    }
    tCurrentQueue = nullptr;
}

SerialQueue::SerialQueue(std::string label) : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
    auto state = state_;
    state_->thread = std::thread([state] { state->run(state); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
        state_->timers.clear();
    }
    state_->condition.notify_all();
    if (std::this_thread::get_id() == state_->thread.get_id()) {
        // Released from one of its own work items: the thread owns its state and finishes alone.
        state_->thread.detach();
    } else {
        state_->thread.join();
    }
}

const std::string& SerialQueue::label() const { return state_->label; }

void SerialQueue::async(std::function<void()> work) {
    // The wake-up is given under the lock: once it is released the item may run and drop the last
    // owner of this queue, so nothing of `this` may be touched after that.
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->items.push_back({std::move(work), SteadyClock::now()});
    if (state_->waiting) state_->condition.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        std::fprintf(stderr, "SerialQueue '%s': sync called from its own thread (deadlock)\n",
                     state_->label.c_str());
        std::abort();
    }
    std::mutex doneMutex;
    std::condition_variable doneCondition;
    bool done = false;
    async([&] {
        work();
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
        doneCondition.notify_one();
    });
    std::unique_lock<std::mutex> lock(doneMutex);
    doneCondition.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const { return tCurrentQueue == state_.get(); }

std::shared_ptr<QueueTimer> SerialQueue::makeTimer(double firstDelaySeconds, double intervalSeconds,
                                                   std::function<void()> handler) {
    auto shared = std::make_shared<QueueTimer::Shared>();
    shared->handler = std::move(handler);
    shared->deadline = SteadyClock::now() + secondsToDuration(firstDelaySeconds);
    shared->repeating = std::isfinite(intervalSeconds) && intervalSeconds > 0;
    shared->interval = shared->repeating ? secondsToDuration(intervalSeconds) : SteadyClock::duration::zero();
    if (shared->repeating && shared->interval <= SteadyClock::duration::zero()) {
        shared->interval = SteadyClock::duration(1);
    }
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->stopping) state_->timers.push_back(shared);
        state_->condition.notify_one();
    }
    return std::make_shared<QueueTimer>(shared);
}

QueueTimer::QueueTimer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
QueueTimer::~QueueTimer() { cancel(); }
void QueueTimer::cancel() { shared_->cancelled.store(true); }
bool QueueTimer::isCancelled() const { return shared_->cancelled.load(); }

}  // namespace mivodrell
