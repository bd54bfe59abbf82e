#include "CaptureCore/CompositeOutputPlanner.h"
#include <gtest/gtest.h>
#include "PlannerTestSupport.h"
namespace mivodrell { namespace {
using Configuration = CompositeOutputPlanner::Configuration;
using testing::kInf;
using testing::kNaN;
using testing::sameRect;
TEST(CompositeOutputPlanner, OutputSizeIsThePhoneSizeTimesTheScaleFlooredToTheQuantum) {
    struct Case { CGSize phone; bool constrained; double quantum; CGSize expected; double expectedScale; };
    const Case cases[] = {
        {{1170, 2532}, false, 2, {1286, 2784}, 1.1},  // 1287 -> 1286, 2785.2 -> 2784
        {{1170, 2532}, true, 2, {1170, 2532}, 1.0}, {{0, 0}, false, 2, {2, 2}, 1.1}, {{-100, 50}, false, 2, {2, 54}, 1.1},
        {{kNaN, kInf}, false, 2, {2, 2}, 1.1}, {{1, 1}, false, 2, {2, 2}, 1.1},  // floor(0.55) = 0 -> at least 2
        {{1170, 2532}, false, 16, {1280, 2784}, 1.1},  // 1287 / 16 = 80.4 -> 1280
        {{1170, 2532}, false, 1, {1286, 2784}, 1.1},   // quantum below 2 behaves as 2
        {{1170, 2532}, false, 0, {1286, 2784}, 1.1}, {{1170, 2532}, false, kNaN, {1286, 2784}, 1.1}};
    for (const auto& c : cases) {
        const auto plan = CompositeOutputPlanner::plan({0, 0, 100, 100}, c.phone, c.constrained, {.pixelQuantum = c.quantum});
        EXPECT_EQ(plan.outputPixelSize, c.expected) << c.phone.width << "x" << c.phone.height << " q" << c.quantum;
        EXPECT_EQ(plan.appliedScale, c.expectedScale);
    }
}
TEST(CompositeOutputPlanner, CropIsGrownRoundedUpAndSnappedToTheOutputGrid) {
    struct Case { CGRect viewport; CGSize phone; double margin; CGRect expected; };
    const Case cases[] = {
        // Grown by 25 left and right and 12.5 top and bottom (1050 x 525), 525 rounds up to 526.
        {{0, 0, 1000, 500}, {1050, 526}, 0.05, {-26, -14, 1050, 526}},
        // 501 grows to 526.05: up to 528, where the nearest quantum would be 526.
        {{0, 0, 1000, 501}, {1050, 528}, 0.05, {-26, -14, 1050, 528}},
        // Margin off, 400 x 300 points onto 800 x 600 pixels: 2 output pixels are 1 point.
        {{10.7, 20.2, 400, 300}, {800, 600}, 0, {10, 20, 400, 300}},
        {{-10.7, -0.2, 400, 300}, {800, 600}, 0, {-11, -1, 400, 300}},
        // 401 x 301 round up to 402 x 302; 200 x 150 pixels make a grid of 4.02 x 4.0266... points.
        {{9, 9, 401, 301}, {200, 150}, 0, {2 * 402.0 / 200 * std::floor(9 / (2 * 402.0 / 200)),
                                           2 * 302.0 / 150 * std::floor(9 / (2 * 302.0 / 150)), 402, 302}},
        {{410.7, 320.2, -400, -300}, {800, 600}, 0, {10, 20, 400, 300}},  // a negative size as the rectangle it describes
    };
    for (const auto& c : cases) {
        const auto plan = CompositeOutputPlanner::plan(c.viewport, c.phone, true, {.cropMarginRatio = c.margin});
        EXPECT_EQ(plan.outputPixelSize, c.phone);
        EXPECT_TRUE(sameRect(plan.cropRect, c.expected));
    }
    for (const double margin : {0.0, -0.1, kNaN, kInf}) {  // an unusable margin leaves the viewport ungrown
        const auto plan = CompositeOutputPlanner::plan({4, 6, 100, 50}, {200, 100}, true, {.cropMarginRatio = margin});
        EXPECT_TRUE(sameRect(plan.cropRect, CGRect(4, 6, 100, 50))) << margin;
    }
}
TEST(CompositeOutputPlanner, NonFiniteViewportIsReturnedGrownButNotAligned) {
    // Grown by the margin (1050 x 525) but neither rounded up to 526 nor snapped; a NaN width is not empty.
    const std::pair<CGRect, CGRect> cases[] = {
        {{kNaN, 3, 1000, 500}, {kNaN, 3 - 12.5, 1050, 525}}, {{-kInf, 3, 1000, 500}, {-kInf, 3 - 12.5, 1050, 525}},
        {{0, 3, kNaN, 500}, {kNaN, 3 - 12.5, kNaN, 525}}, {{0, 0, kInf, 500}, {kNaN, -12.5, kNaN, 525}}};
    for (const auto& [viewport, expected] : cases) {
        const auto plan = CompositeOutputPlanner::plan(viewport, {100, 100}, false, Configuration());
        EXPECT_TRUE(sameRect(plan.cropRect, expected));
        EXPECT_EQ(plan.outputPixelSize, (CGSize{110, 110}));
    }
}
}}  // namespace mivodrell
