#include "Platform/Codec/RealTimeSpeedTuner.h"
#include <gtest/gtest.h>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>
namespace mivodrell {
namespace {
constexpr double interval = 1.0 / 60.0;
RealTimeSpeedTuner makeTuner(int initialStep) {
    RealTimeSpeedTuner::Configuration c;
    c.stepCount = 5;
    c.frameInterval = interval;
    c.windowFrames = 4;
    return RealTimeSpeedTuner(c, initialStep);
}
// Feeds `windows` whole windows of frames that each took `fraction` of the frame interval and
// returns the step after each window.
std::vector<int> feed(RealTimeSpeedTuner& tuner, int windows, double fraction) {
    std::vector<int> steps;
    for (int w = 0; w < windows; ++w) {
        for (int f = 0; f < tuner.configuration().windowFrames; ++f) tuner.record(fraction * interval);
        steps.push_back(tuner.step());
    }
    return steps;
}
TEST(RealTimeSpeedTuner, FollowsTheMeasuredTimeWindowByWindow) {
    struct Case {
        const char* name;
        int initialStep;
        int windows;
        double fraction;
        std::vector<int> steps;
    };
    const Case cases[] = {
        {"slow windows step faster one at a time", 0, 5, 0.9, {1, 2, 3, 4, 4}},
        {"more than two intervals goes straight to the fastest", 1, 1, 2.5, {4}},
        {"four spare windows improve one step", 4, 9, 0.3, {4, 4, 4, 3, 3, 3, 3, 2, 2}},
        {"between the thresholds nothing changes", 2, 6, 0.65, {2, 2, 2, 2, 2, 2}},
        {"the best step stays when there is time to spare", 0, 3, 0.1, {0, 0, 0}},
        {"the fastest step stays when even it is slow", 4, 3, 3.0, {4, 4, 4}},
    };
    for (const auto& c : cases) {
        auto tuner = makeTuner(c.initialStep);
        EXPECT_EQ(feed(tuner, c.windows, c.fraction), c.steps) << c.name;
    }
}
TEST(RealTimeSpeedTuner, AFailedTryWaitsTwiceAsLongBeforeTheNextOne) {
    // A try, too slow so back, then eight spare windows are needed, not four; a try that holds
    // keeps the wait where it is.
    auto tuner = makeTuner(3);
    std::vector<int> steps;
    for (auto [windows, fraction] : {std::pair(4, 0.3), {1, 0.9}, {7, 0.3}, {1, 0.3}, {1, 0.6}, {8, 0.3}})
        steps.push_back(feed(tuner, windows, fraction).back());
    EXPECT_EQ(steps, (std::vector<int>{2, 3, 3, 2, 2, 1}));
}
TEST(RealTimeSpeedTuner, ReportsAChangeOnlyAtTheFrameThatMadeIt) {
    auto tuner = makeTuner(0);
    std::vector<int> reported;
    for (int f = 0; f < 8; ++f) {
        if (auto step = tuner.record(0.9 * interval)) reported.push_back(*step * 100 + f);
    }
    EXPECT_EQ(reported, (std::vector<int>{103, 207}));
}
TEST(RealTimeSpeedTuner, UnusableInputIsIgnoredOrReplaced) {
    auto tuner = makeTuner(0);
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), -1.0, std::numeric_limits<double>::infinity()}) {
        for (int f = 0; f < 8; ++f) EXPECT_FALSE(tuner.record(bad));
    }
    EXPECT_EQ(tuner.step(), 0);
    RealTimeSpeedTuner::Configuration c;
    c.stepCount = 0;
    c.frameInterval = std::nan("");
    c.windowFrames = 0;
    RealTimeSpeedTuner fallback(c, 7);
    const auto& used = fallback.configuration();
    EXPECT_EQ(std::tuple(fallback.step(), used.stepCount, used.frameInterval, used.windowFrames), std::tuple(0, 1, 1.0 / 60.0, 30));
}
}  // namespace
}  // namespace mivodrell
