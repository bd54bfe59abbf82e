#include "Platform/Codec/RealTimeSpeedTuner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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
    auto tuner = makeTuner(3);
    EXPECT_EQ(feed(tuner, 4, 0.3).back(), 2);  // the try
    EXPECT_EQ(feed(tuner, 1, 0.9).back(), 3);  // too slow: back
    // Now eight spare windows are needed, not four.
    EXPECT_EQ(feed(tuner, 7, 0.3).back(), 3);
    EXPECT_EQ(feed(tuner, 1, 0.3).back(), 2);
    // A try that holds keeps the wait where it is.
    EXPECT_EQ(feed(tuner, 1, 0.6).back(), 2);
    EXPECT_EQ(feed(tuner, 8, 0.3).back(), 1);
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
    EXPECT_EQ(fallback.step(), 0);
    EXPECT_EQ(fallback.configuration().stepCount, 1);
    EXPECT_DOUBLE_EQ(fallback.configuration().frameInterval, 1.0 / 60.0);
    EXPECT_EQ(fallback.configuration().windowFrames, 30);
}

}  // namespace
}  // namespace mivodrell
