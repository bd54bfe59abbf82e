#include "Platform/Codec/RealTimeSpeedTuner.h"
#include <gtest/gtest.h>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>
namespace mivodrell {
namespace {
constexpr double interval = 1.0 / 60.0;
RealTimeSpeedTuner makeTuner(int initialStep, int maxSpareWindows = 32) {
    RealTimeSpeedTuner::Configuration c;
    c.stepCount = 5;
    c.frameInterval = interval;
    c.windowFrames = 4;
    c.maxSpareWindowsToImprove = maxSpareWindows;
    return RealTimeSpeedTuner(c, initialStep);
}
// Feeds `windows` whole windows of frames that each took `fraction` of the frame interval and
// returns the step after the last.
int feed(RealTimeSpeedTuner& tuner, int windows, double fraction) {
    for (int f = 0; f < windows * tuner.configuration().windowFrames; ++f) tuner.record(fraction * interval);
    return tuner.step();
}
TEST(RealTimeSpeedTuner, FollowsTheMeasuredTimeWindowByWindow) {
    struct Case {
        const char* name;
        int initialStep, maxSpareWindows;
        std::vector<std::pair<int, double>> runs;  // windows, fraction of the interval
        std::vector<int> steps;                    // after each run
    };
    const Case cases[] = {
        {"slow windows step faster one at a time", 0, 32, {{1, 0.9}, {1, 0.9}, {2, 0.9}, {1, 0.9}}, {1, 2, 4, 4}},
        {"more than two intervals goes straight to the fastest", 1, 32, {{1, 2.5}}, {4}},
        {"four spare windows improve one step", 4, 32, {{3, 0.3}, {1, 0.3}, {3, 0.3}, {1, 0.3}}, {4, 3, 3, 2}},
        {"a window between the thresholds breaks the run", 4, 32, {{3, 0.3}, {1, 0.65}, {3, 0.3}, {1, 0.3}}, {4, 4, 4, 3}},
        {"between the thresholds nothing changes", 2, 32, {{6, 0.65}}, {2}},
        {"the best step stays when there is time to spare", 0, 32, {{3, 0.1}}, {0}},
        {"the fastest step stays when even it is slow", 4, 32, {{3, 3.0}}, {4}},
        // A try, too slow so back, then eight spare windows are needed, not four; a try that
        // holds keeps the wait where it is.
        {"a failed try doubles the wait", 3, 32, {{4, 0.3}, {1, 0.9}, {7, 0.3}, {1, 0.3}, {1, 0.6}, {8, 0.3}}, {2, 3, 3, 2, 2, 1}},
        {"up to its maximum", 4, 8, {{4, 0.3}, {1, 0.9}, {8, 0.3}, {1, 0.9}, {8, 0.3}}, {3, 4, 3, 4, 3}},
    };
    for (const auto& c : cases) {
        auto tuner = makeTuner(c.initialStep, c.maxSpareWindows);
        std::vector<int> steps;
        for (const auto& [windows, fraction] : c.runs) steps.push_back(feed(tuner, windows, fraction));
        EXPECT_EQ(steps, c.steps) << c.name;
    }
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
    c.fastFraction = std::nan("");
    RealTimeSpeedTuner fallback(c, 7);
    const auto& used = fallback.configuration();
    EXPECT_EQ(std::tuple(fallback.step(), used.stepCount, used.frameInterval, used.windowFrames, used.fastFraction),
              std::tuple(0, 1, 1.0 / 60.0, 30, 0.5));
}
}  // namespace
}  // namespace mivodrell
