#include "Platform/Base/CompletionBox.h"
#include "Platform/Base/SerialQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

namespace mivodrell {
namespace {

TEST(SerialQueue, RunsItemsInOrderOnOneThread) {
    SerialQueue queue("test.order");
    std::vector<int> seen;
    std::thread::id worker;
    for (int i = 0; i < 1000; ++i) {
        queue.async([&, i] {
            if (i == 0) worker = std::this_thread::get_id();
            EXPECT_EQ(std::this_thread::get_id(), worker);
            EXPECT_TRUE(queue.isCurrent());
            seen.push_back(i);
        });
    }
    queue.sync([] {});
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(queue.syncResult([] { return 42; }), 42);
}

TEST(SerialQueue, DestructionRunsWhatWasAlreadySubmitted) {
    std::atomic<int> count{0};
    {
        SerialQueue queue("test.drain");
        for (int i = 0; i < 100; ++i) {
            queue.async([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                ++count;
            });
        }
    }
    EXPECT_EQ(count.load(), 100);
}

TEST(SerialQueueDeathTest, SyncFromItsOwnThreadAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SerialQueue queue("test.deadlock");
            queue.sync([&] { queue.sync([] {}); });
        },
        "sync called from its own thread");
}

TEST(SerialQueue, RepeatingTimerFiresOnTheQueueAndStopsWhenCancelled) {
    SerialQueue queue("test.timer");
    std::atomic<int> fired{0};
    auto timer = queue.makeTimer(0.001, 0.002, [&] {
        EXPECT_TRUE(queue.isCurrent());
        ++fired;
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (fired.load() < 5 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(fired.load(), 5);
    queue.sync([&] { timer->cancel(); });
    const int after = fired.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fired.load(), after);
    EXPECT_TRUE(timer->isCancelled());
}

TEST(SerialQueue, MissedDeadlinesCollapseIntoOneCall) {
    SerialQueue queue("test.missed");
    auto started = CompletionBox<bool>::make();
    queue.async([started] {
        started->complete(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    ASSERT_TRUE(started->wait(5));
    // About four deadlines pass while the queue is busy; they must give one call, not four. The
    // first call looks at the count from an item it submits, which runs before the next deadline.
    int fired = 0;
    auto firedWhenFree = CompletionBox<int>::make();
    auto timer = queue.makeTimer(0.001, 0.03, [&] {
        if (++fired == 1) queue.async([&] { firedWhenFree->complete(fired); });
    });
    EXPECT_EQ(firedWhenFree->wait(5), 1);
    queue.sync([&] { timer->cancel(); });
}

TEST(CompletionBox, FirstCompletionWinsAndLateOnesAreHarmless) {
    auto box = CompletionBox<int>::make();
    EXPECT_EQ(box->wait(0.01), std::nullopt);
    // NaN and negative limits do not wait; an unbounded one waits for the result.
    EXPECT_EQ(box->wait(std::nan("")), std::nullopt);
    EXPECT_EQ(box->wait(-1), std::nullopt);
    std::thread late([box] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        box->complete(1);
        box->complete(2);
    });
    EXPECT_EQ(box->wait(std::numeric_limits<double>::infinity()), 1);
    late.join();
    EXPECT_EQ(box->wait(0), 1);
}

// Keeps the calling thread busy (not asleep) for `seconds`, as a long render tick does.
void busyFor(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
    }
}

TEST(SerialQueueFairness, TimerSlowerThanItsIntervalDoesNotStarveSync) {
    SerialQueue queue("test.fair.slow");
    // A 60 Hz tick whose handler takes longer than the interval is always due again when it ends.
    auto timer = queue.makeTimer(0, 1.0 / 60, [] { busyFor(0.017); });
    auto returned = CompletionBox<int>::make();
    std::thread caller([&] {
        for (int i = 0; i < 3; ++i) queue.sync([] {});
        returned->complete(3);
    });
    const auto done = returned->wait(5);
    timer->cancel();  // lets a starved caller finish, so the test fails instead of hanging
    caller.join();
    EXPECT_EQ(done, 3) << "sync did not return while a slow repeating timer ran";
}

// A due timer takes its turn among the work items: after those submitted before its deadline and
// before those submitted after it, even while each item keeps submitting the next.
TEST(SerialQueueFairness, ADueTimerTakesItsTurnAmongSteadyAsyncWork) {
    SerialQueue queue("test.fair.turn");
    std::string order;  // touched on the queue only
    auto chainEnded = CompletionBox<bool>::make();
    std::function<void()> link = [&] {
        order += 'w';
        if (order.find('T') == std::string::npos && order.size() < 100000) {
            queue.async(link);
        } else {
            chainEnded->complete(true);
        }
    };
    std::shared_ptr<QueueTimer> timer;
    queue.sync([&] {
        queue.async([&] { order += 'A'; });
        timer = queue.makeTimer(0, 0, [&] { order += 'T'; });  // one shot, due at once
        queue.async(link);
    });
    ASSERT_TRUE(chainEnded->wait(30));
    const std::string seen = queue.syncResult([&] { return order; });
    EXPECT_TRUE(seen.starts_with("AT") || seen.starts_with("AwT")) << seen.substr(0, 8);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 'T'), 1) << "a timer without an interval fires once";
}
TEST(SerialQueue, SubmittingAnItemThatDropsTheLastOwnerIsSafe) {
    // The item may run, and destroy the queue on its own thread, before `async` has returned to
    // its caller: as the first item of a new queue, and (odd rounds) one that wakes an idle worker.
    for (int i = 0; i < 200; ++i) {
        auto queue = std::make_shared<SerialQueue>("test.drop");
        if (i % 2) queue->sync([] {});
        auto box = CompletionBox<bool>::make();
        SerialQueue* raw = queue.get();
        raw->async([q = std::move(queue), box]() mutable {
            q.reset();
            box->complete(true);
        });
        ASSERT_EQ(box->wait(5), true);
    }
}

}  // namespace
}  // namespace mivodrell
