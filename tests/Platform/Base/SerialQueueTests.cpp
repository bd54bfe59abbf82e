#include "Platform/Base/CompletionBox.h"
#include "Platform/Base/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
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

TEST(SerialQueue, ReleasedFromItsOwnWorkItem) {
    auto queue = std::make_shared<SerialQueue>("test.self");
    auto box = CompletionBox<bool>::make();
    SerialQueue* raw = queue.get();
    raw->async([q = std::move(queue), box]() mutable {
        q.reset();  // the last owner goes away on the queue's own thread
        box->complete(true);
    });
    EXPECT_EQ(box->wait(5), true);
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
    // About ten deadlines pass while the queue is busy; they must give one call, not ten.
    int fired = 0;
    auto timer = queue.makeTimer(0.005, 0.01, [&] { ++fired; });
    int firedWhenFree = -1;
    queue.sync([&] { firedWhenFree = fired; });
    EXPECT_EQ(firedWhenFree, 1);
    queue.sync([&] { timer->cancel(); });
}

TEST(CompletionBox, FirstCompletionWinsAndLateOnesAreHarmless) {
    auto box = CompletionBox<int>::make();
    EXPECT_EQ(box->wait(0.01), std::nullopt);
    std::thread late([box] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        box->complete(1);
        box->complete(2);
    });
    EXPECT_EQ(box->wait(5), 1);
    late.join();
    EXPECT_EQ(box->wait(0), 1);

    // An unbounded limit waits for the result; NaN and negative limits do not wait.
    auto slow = CompletionBox<int>::make();
    std::thread answer([slow] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        slow->complete(3);
    });
    EXPECT_EQ(CompletionBox<int>::make()->wait(std::nan("")), std::nullopt);
    EXPECT_EQ(CompletionBox<int>::make()->wait(-1), std::nullopt);
    EXPECT_EQ(slow->wait(std::numeric_limits<double>::infinity()), 3);
    answer.join();
}

}  // namespace
}  // namespace mivodrell
