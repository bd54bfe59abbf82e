#include "CaptureCore/CompositeOutputPlanner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "PlannerTestSupport.h"

namespace mivodrell {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Configuration = CompositeOutputPlanner::Configuration;
using testing::sameRect;

TEST(CompositeOutputPlanner, OutputSizeIsThePhoneSizeTimesTheScaleFlooredToTheQuantum) {
    struct Case {
        CGSize phone;
        bool constrained;
        double quantum;
        CGSize expected;
        double expectedScale;
    };
    const Case cases[] = {
        {{1170, 2532}, false, 2, {1286, 2784}, 1.1},  // 1287 -> 1286, 2785.2 -> 2784
        {{1170, 2532}, true, 2, {1170, 2532}, 1.0},
        {{0, 0}, false, 2, {2, 2}, 1.1},
        {{-100, 50}, false, 2, {2, 54}, 1.1},
        {{kNaN, kInf}, false, 2, {2, 2}, 1.1},
        {{1, 1}, false, 2, {2, 2}, 1.1},               // floor(0.55) = 0 -> at least 2
        {{1170, 2532}, false, 16, {1280, 2784}, 1.1},  // 1287 / 16 = 80.4 -> 1280
        {{1170, 2532}, false, 1, {1286, 2784}, 1.1},   // quantum below 2 behaves as 2
        {{1170, 2532}, false, 0, {1286, 2784}, 1.1},
        {{1170, 2532}, false, kNaN, {1286, 2784}, 1.1},
    };
    for (const auto& c : cases) {
        Configuration configuration;
        configuration.pixelQuantum = c.quantum;
        const auto plan = CompositeOutputPlanner::plan({0, 0, 100, 100}, c.phone, c.constrained, configuration);
        EXPECT_EQ(plan.outputPixelSize, c.expected) << c.phone.width << "x" << c.phone.height << " q" << c.quantum;
        EXPECT_EQ(plan.appliedScale, c.expectedScale);
    }
}

TEST(CompositeOutputPlanner, CropGrowsByTheMarginAndRoundsUpToWholeQuanta) {
    // The output is the crop size in pixels, so one quantum of output pixels is two points and
    // the origin snaps to even values.
    struct Case {
        CGRect viewport;
        CGRect expected;
    };
    const Case cases[] = {
        // Grown by 25 left and right and 12.5 top and bottom (1050 x 525), 525 rounds up to 526.
        {{0, 0, 1000, 500}, {-26, -14, 1050, 526}},
        // 501 grows to 526.05: up to 528, where the nearest quantum would be 526.
        {{0, 0, 1000, 501}, {-26, -14, 1050, 528}},
    };
    for (const auto& c : cases) {
        const CGSize phone{c.expected.size.width, c.expected.size.height};
        const auto plan = CompositeOutputPlanner::plan(c.viewport, phone, true, Configuration());
        EXPECT_EQ(plan.outputPixelSize, phone);
        EXPECT_TRUE(sameRect(plan.cropRect, c.expected));
    }
}

TEST(CompositeOutputPlanner, CropOriginSnapsToTheOutputPixelGrid) {
    // Margin off, crop 400 x 300 points onto 800 x 600 pixels: q = 2 output pixels are 1 point.
    Configuration configuration;
    configuration.cropMarginRatio = 0;
    struct Case {
        CGRect viewport;
        CGSize phone;
        CGRect expected;
    };
    const Case cases[] = {
        {{10.7, 20.2, 400, 300}, {800, 600}, {10, 20, 400, 300}},
        {{-10.7, -0.2, 400, 300}, {800, 600}, {-11, -1, 400, 300}},
        // 401 x 301 round up to 402 x 302; 200 x 150 pixels make a grid of 4.02 x 4.0266... points.
        {{9, 9, 401, 301}, {200, 150}, {2 * 402.0 / 200 * std::floor(9 / (2 * 402.0 / 200)),
                                         2 * 302.0 / 150 * std::floor(9 / (2 * 302.0 / 150)), 402, 302}},
        // A negative size is aligned as the rectangle it describes.
        {{410.7, 320.2, -400, -300}, {800, 600}, {10, 20, 400, 300}},
    };
    for (const auto& c : cases) {
        const auto plan = CompositeOutputPlanner::plan(c.viewport, c.phone, true, configuration);
        EXPECT_TRUE(sameRect(plan.cropRect, c.expected));
    }
}

TEST(CompositeOutputPlanner, UnusableMarginLeavesTheViewportUngrown) {
    for (const double margin : {0.0, -0.1, kNaN, kInf}) {
        Configuration configuration;
        configuration.cropMarginRatio = margin;
        const auto plan = CompositeOutputPlanner::plan({4, 6, 100, 50}, {200, 100}, true, configuration);
        EXPECT_TRUE(sameRect(plan.cropRect, CGRect(4, 6, 100, 50))) << margin;
    }
}

TEST(CompositeOutputPlanner, NonFiniteViewportIsReturnedGrownButNotAligned) {
    // Grown by the margin (1050 x 525) but neither rounded up to 526 nor snapped.
    struct Case {
        CGRect viewport;
        CGRect expected;
    };
    const Case cases[] = {
        {{kNaN, 3, 1000, 500}, {kNaN, 3 - 12.5, 1050, 525}},
        {{-kInf, 3, 1000, 500}, {-kInf, 3 - 12.5, 1050, 525}},
        // A NaN width is carried through the growth, not taken for an empty viewport.
        {{0, 3, kNaN, 500}, {kNaN, 3 - 12.5, kNaN, 525}},
        {{0, 0, kInf, 500}, {kNaN, -12.5, kNaN, 525}},  // inf x 1.05 - inf is NaN
    };
    for (const auto& c : cases) {
        const auto plan = CompositeOutputPlanner::plan(c.viewport, {100, 100}, false, Configuration());
        EXPECT_TRUE(sameRect(plan.cropRect, c.expected));
        EXPECT_EQ(plan.outputPixelSize, (CGSize{110, 110}));
    }
}

}  // namespace
}  // namespace mivodrell
