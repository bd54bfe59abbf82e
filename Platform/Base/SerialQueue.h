#pragma once
// A serial dispatch queue: one thread runs the submitted work items one at a time, in order.
// Timers fire on the queue's thread, each firing one turn among the work items: it runs after the
// items submitted before its deadline and before those submitted after it, so a timer whose
// handler outlasts its interval cannot starve `async` or `sync`. Destroying the queue runs every
// item already submitted, then stops the thread. Any thread may submit; an item may drop the last
// owner of its queue.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace mivodrell {

class QueueTimer;

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const;

    // Runs `work` later on the queue's thread.
    void async(std::function<void()> work);

    // Runs `work` on the queue's thread and waits for it. Calling this from the queue's own thread
    // would deadlock; it aborts the program with a message instead.
    void sync(const std::function<void()>& work);

    // `sync` that returns the value `work` produces.
    template <class F>
    auto syncResult(F&& work) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            sync([&] { work(); });
        } else {
            std::optional<R> result;
            sync([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

    // True when called from a work item or timer of this queue.
    bool isCurrent() const;

    // A repeating timer on this queue: first call `firstDelaySeconds` from now, then every
    // `intervalSeconds`. Deadlines missed while the queue was busy give one call, and the schedule
    // stays on its grid. An interval <= 0 (or not finite) makes a one-shot timer.
    // The timer stops when cancelled or when the returned handle is released.
    std::shared_ptr<QueueTimer> makeTimer(double firstDelaySeconds, double intervalSeconds,
                                          std::function<void()> handler);

    struct State;

private:
    std::shared_ptr<State> state_;
};

class QueueTimer {
public:
    ~QueueTimer();
    // Idempotent. Cancelled from the queue's own thread, no further call is made; from another
    // thread, a call that is just starting may still run.
    void cancel();
    bool isCancelled() const;

    struct Shared;
    explicit QueueTimer(std::shared_ptr<Shared> shared);

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace mivodrell
