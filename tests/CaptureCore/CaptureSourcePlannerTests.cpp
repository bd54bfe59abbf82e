#include "CaptureCore/CaptureSourcePlanner.h"
#include <gtest/gtest.h>
#include <algorithm>
#include "PlannerTestSupport.h"
namespace mivodrell { namespace {
using Configuration = CaptureSourcePlanner::Configuration;
using IDs = std::vector<std::uint32_t>;
using testing::kInf;
using testing::kNaN;
using testing::sameRect;
DisplayInfo makeDisplay(std::uint32_t id, CGRect frame, double scale = 2.0) {
    return DisplayInfo(id, frame, scale, id == 1, "Display " + std::to_string(id));
}
// Display 1 on the left at scale 2, display 2 to its right at scale 1, both 1920 x 1080 points.
DisplayTopology twoDisplays() {
    return DisplayTopology({makeDisplay(1, {0, 0, 1920, 1080}, 2), makeDisplay(2, {1920, 0, 1920, 1080}, 1)});
}
DisplayTopology oneDisplay(double w = 1920, double h = 1080, double scale = 2) {
    return DisplayTopology({makeDisplay(1, {0, 0, w, h}, scale)});
}
// A 1000 x 1000 viewport with `onRight` points on display 2: display 2's share is onRight / 1000.
CGRect straddling(double onRight) { return {1920 - (1000 - onRight), 40, 1000, 1000}; }
const CGSize kPhone{1170, 2532};
const CaptureSource* sourceFor(const CapturePlan& plan, std::uint32_t id) {
    for (const CaptureSource& s : plan.sources) if (s.displayID == id) return &s;
    return nullptr;
}
// One visible display of area A: d = sqrt(budget / A), clamped to the minimum and the scale (1 when unusable).
TEST(CaptureSourcePlanner, DensityFollowsTheBudgetWithinItsClamps) {
    struct Case { double scale; CGSize phone; double allowance, density; };
    const Case cases[] = {
        {100, {1170, 2532}, 1.0, std::sqrt(2'962'440 / 1e6)}, {100, {1170, 2532}, 0.5, std::sqrt(1'481'220 / 1e6)},
        {100, {11700, 25320}, 0.0, std::sqrt(2'962'440 / 1e6)},  // allowance below 0.01 counts as 0.01
        {100, {0, 2532}, 1.0, std::sqrt(2.0)}, {100, {kNaN, 2532}, 1.0, std::sqrt(2.0)},  // unusable phone: 2e6
        {100, {1170, kInf}, 1.0, std::sqrt(2.0)}, {100, {-1170, 2532}, 1.0, std::sqrt(2.0)},
        {2, {100, 100}, 1.0, 0.25}, {1, {4000, 4000}, 1.0, 1.0}, {0, {4000, 4000}, 1.0, 1.0},
        {kNaN, {4000, 4000}, 1.0, 1.0}, {kInf, {4000, 4000}, 1.0, 1.0}};
    for (const auto& c : cases) {
        const CapturePlan plan = CaptureSourcePlanner(Configuration{.pixelBudgetAllowance = c.allowance})
                                     .plan({500, 500, 1000, 1000}, oneDisplay(3000, 3000, c.scale), c.phone, 0);
        ASSERT_EQ(plan.sources.size(), 1u);
        EXPECT_NEAR(plan.sources[0].pixelsPerPoint, c.density, 1e-12) << c.scale << " " << c.phone.width;
    }
}
// Display 2's share over time against the active set and what each plan stops.
TEST(CaptureSourcePlanner, ActivationAndDeactivationScenarios) {
    struct Step { double onRight, now; IDs active, stopped; };
    const std::vector<std::pair<std::string, std::vector<Step>>> scenarios = {
        // Started at 2 %; between 0.5 % and 2 % an active display stays, an inactive one stays off.
        {"starts at 2 %", {{19, 0, {1}, {}}, {20, 0.1, {1, 2}, {}}, {10, 0.2, {1, 2}, {}}}},
        {"waits 1.5 s", {{30, 0, {1, 2}, {}}, {4, 1, {1, 2}, {}}, {0, 2.49, {1, 2}, {}}, {4, 2.5, {1}, {2}}, {4, 3, {1}, {}}}},
        {"restarts when the share recovers", {{30, 0, {1, 2}, {}}, {4, 1, {1, 2}, {}}, {5, 2, {1, 2}, {}},
                                              {4, 2.5, {1, 2}, {}}, {4, 3.9, {1, 2}, {}}, {4, 4.0, {1}, {2}}}},
        // The first finite time starts the delay; later non-finite times count as that time.
        {"non-finite times", {{30, kNaN, {1, 2}, {}}, {4, kInf, {1, 2}, {}}, {0, -kInf, {1, 2}, {}},
                              {4, 10, {1, 2}, {}}, {4, kNaN, {1, 2}, {}}, {4, 11.5, {1}, {2}}}},
    };
    for (const auto& [name, steps] : scenarios) {
        CaptureSourcePlanner planner;
        for (const Step& step : steps) {
            const CapturePlan plan = planner.plan(straddling(step.onRight), twoDisplays(), kPhone, step.now);
            EXPECT_EQ(plan.activeDisplayIDs(), step.active) << name << ", t=" << step.now;
            EXPECT_EQ(plan.stopped, step.stopped) << name << ", t=" << step.now;
        }
    }
    // A display started next to an active one that still covers its part leaves that one alone.
    CaptureSourcePlanner planner;
    planner.plan(straddling(19), twoDisplays(), kPhone, 0);
    const CapturePlan plan = planner.plan(straddling(20), twoDisplays(), kPhone, 0.1);
    EXPECT_EQ(plan.reconfigured, IDs{});
    ASSERT_NE(sourceFor(plan, 2), nullptr);
    EXPECT_TRUE(sourceFor(plan, 2)->hasVisibleContent);
    // A low-share display without content keeps its capture, marked as empty.
    CaptureSourcePlanner low;
    CaptureSource expected = *sourceFor(low.plan(straddling(300), twoDisplays(), kPhone, 0), 2);
    const CapturePlan left = low.plan(straddling(0), twoDisplays(), kPhone, 0.5);
    ASSERT_NE(sourceFor(left, 2), nullptr);
    expected.hasVisibleContent = false;
    EXPECT_EQ(*sourceFor(left, 2), expected);
    EXPECT_EQ(left.reconfigured, IDs{1});  // display 1 now holds the whole viewport
    // A visible display whose frame is unusable is withdrawn, neither started nor stopped.
    const DisplayTopology unusable({makeDisplay(1, {0, 0, 1920, 1080}), makeDisplay(2, {1920, 0, kInf, 1080})});
    const CapturePlan withdrawn = CaptureSourcePlanner().plan(straddling(500), unusable, kPhone, 0);
    EXPECT_EQ(std::tuple(withdrawn.started, withdrawn.stopped, withdrawn.activeDisplayIDs()), std::tuple(IDs{1}, IDs{}, IDs{1}));
}
TEST(CaptureSourcePlanner, UnusableViewportStopsEverythingAndForgetsTheMotion) {
    for (const CGRect viewport : {CGRect{0, 0, 0, 100}, CGRect{kNaN, 0, 100, 100}, CGRect{0, kInf, 100, 100},
                                  CGRect{0, 0, 100, kNaN}, CGRect::null()}) {
        CaptureSourcePlanner planner;
        planner.plan(straddling(500), twoDisplays(), kPhone, 0);
        planner.plan(straddling(400), twoDisplays(), kPhone, 1);
        ASSERT_NE(planner.smoothedVelocity(), CGPoint::zero());
        EXPECT_EQ(planner.plan(viewport, twoDisplays(), kPhone, 2), (CapturePlan{{}, {}, {1, 2}, {}}));
        EXPECT_EQ(planner.activeDisplayIDs(), IDs{});
        EXPECT_EQ(planner.smoothedVelocity(), CGPoint::zero());
        EXPECT_EQ(planner.lastViewportCenter(), std::nullopt);
    }
}
TEST(CaptureSourcePlanner, FirstPlanThenSmallMovesInsideTheCapturedRegionListNothing) {
    CaptureSourcePlanner planner;
    const CapturePlan first = planner.plan({100, 100, 1000, 500}, oneDisplay(), kPhone, 0);
    // Budget 1170 x 2532 wants 2.43 px/pt, capped by the scale 2. Grown by 60 / 30 points, then outward to 8.
    EXPECT_EQ(first, (CapturePlan{{CaptureSource{1, {40, 64, 1120, 568}, {2240, 1136}, 2.0, true}}, {1}, {}, {}}));
    EXPECT_EQ(first.totalOutputPixels(), 2240.0 * 1136.0);
    // A negative size describes the same rectangle.
    EXPECT_EQ(CaptureSourcePlanner().plan({1100, 600, -1000, -500}, oneDisplay(), kPhone, 0), first);
    // Moving by a few points stays covered.
    for (const CGPoint origin : {CGPoint{130, 100}, CGPoint{70, 80}, CGPoint{40, 132}}) {
        const CapturePlan plan = planner.plan({origin.x, origin.y, 1000, 500}, oneDisplay(), kPhone, 1);
        EXPECT_EQ(plan.sources, first.sources) << origin.x << "," << origin.y;
        EXPECT_TRUE(plan.started.empty() && plan.stopped.empty() && plan.reconfigured.empty());
    }
    const CapturePlan crossed = planner.plan({200, 100, 1000, 500}, oneDisplay(), kPhone, 2);
    EXPECT_EQ(crossed.reconfigured, IDs{1});
    EXPECT_TRUE(sameRect(crossed.sources[0].sourceRect, CGRect(136, 64, 1128, 568)));
    // A visible area below half the captured one recomputes as well.
    EXPECT_EQ(planner.plan({300, 200, 500, 300}, oneDisplay(), kPhone, 3).reconfigured, IDs{1});
    // A recomputation that lands on the same region and size is not listed.
    CaptureSourcePlanner quantized(Configuration{.rectQuantum = 512});
    const CapturePlan q = quantized.plan({100, 100, 300, 300}, oneDisplay(2048, 2048, 1), kPhone, 0);
    EXPECT_TRUE(sameRect(q.sources[0].sourceRect, CGRect(0, 0, 512, 512)));
    const CapturePlan again = quantized.plan({110, 100, 300, 300}, oneDisplay(2048, 2048, 1), kPhone, 1);
    EXPECT_EQ(again.reconfigured, IDs{});
    EXPECT_EQ(again.sources, q.sources);
}
TEST(CaptureSourcePlanner, MinReconfigureIntervalHoldsBackRecomputation) {
    CaptureSourcePlanner planner(Configuration{.captureMarginRatio = 0.24, .minReconfigureInterval = 0.4});
    const CapturePlan first = planner.plan({100, 100, 1000, 500}, twoDisplays(), kPhone, 10.0);
    const CGRect moved{600, 100, 1000, 500};
    const CapturePlan held = planner.plan(moved, twoDisplays(), kPhone, 10.3);
    EXPECT_EQ(held.sources, first.sources);
    EXPECT_TRUE(held.reconfigured.empty());
    EXPECT_TRUE(planner.plan(moved, twoDisplays(), kPhone, 10.399).reconfigured.empty());
    const CapturePlan released = planner.plan(moved, twoDisplays(), kPhone, 10.4);
    EXPECT_EQ(released.reconfigured, IDs{1});
    EXPECT_NE(released.sources[0].sourceRect, first.sources[0].sourceRect);
    // A display started within the interval of another one's recomputation is planned at once.
    const CapturePlan withSecond = planner.plan({1400, 100, 1000, 500}, twoDisplays(), kPhone, 10.5);
    EXPECT_EQ(withSecond.started, IDs{2});
    ASSERT_NE(sourceFor(withSecond, 2), nullptr);
    EXPECT_TRUE(sameRect(sourceFor(withSecond, 2)->sourceRect, CGRect(0, 40, 544, 624)));
}
TEST(CaptureSourcePlanner, VelocityIsSmoothedResetAndClamped) {
    CaptureSourcePlanner planner;
    const DisplayTopology wide = oneDisplay(4000, 2000);
    const double expected[] = {0, 50, 75, 87.5, 93.75};  // 100 points per second, one sample per second
    for (int i = 0; i < 5; ++i) {
        planner.plan({100.0 + 100 * i, 100, 1000, 500}, wide, kPhone, i);
        EXPECT_EQ(planner.smoothedVelocity(), (CGPoint{expected[i], 0})) << i;
    }
    // 0.5 ms later, a time going backwards, or a non-finite time: the velocity stays, the sample moves.
    for (const double now : {4.0005, 3.0, kNaN}) {
        planner.plan({500, 300, 1000, 500}, wide, kPhone, now);
        EXPECT_EQ(planner.smoothedVelocity(), (CGPoint{93.75, 0})) << now;
        EXPECT_EQ(planner.lastViewportCenter(), (CGPoint{1000, 550}));
    }
    for (const auto& [alpha, velocity] : std::vector<std::pair<double, double>>{{2, 100}, {-1, 0}, {kNaN, 0}, {0.25, 25}}) {
        CaptureSourcePlanner clamped(Configuration{.velocitySmoothingAlpha = alpha});
        clamped.plan({100, 100, 1000, 500}, wide, kPhone, 0);
        clamped.plan({200, 100, 1000, 500}, wide, kPhone, 1);
        EXPECT_EQ(clamped.smoothedVelocity().x, velocity) << alpha;
    }
    // A reset forgets displays and motion but not the time.
    CaptureSourcePlanner reset;
    reset.plan(straddling(500), twoDisplays(), kPhone, 0);
    reset.plan(straddling(400), twoDisplays(), kPhone, 1);
    reset.reset();
    EXPECT_EQ(reset.activeDisplayIDs(), IDs{});
    EXPECT_EQ(reset.smoothedVelocity(), CGPoint::zero());
    const CapturePlan plan = reset.plan(straddling(400), twoDisplays(), kPhone, kNaN);
    EXPECT_EQ(plan.started, (IDs{1, 2}));
    EXPECT_TRUE(plan.stopped.empty() && plan.reconfigured.empty());
    EXPECT_EQ(reset.lastVelocityTime(), 1);
}
// After a mode change a kept region is replaced at once only when it no longer lies within the new frame.
TEST(CaptureSourcePlanner, ModeChangeReplacesOnlyARegionThatNoLongerFits) {
    struct Case { const char* name; std::uint32_t id; CGRect firstViewport; CGSize newFrame; IDs reconfigured; CGRect expected; };
    const CGRect onOne{100, 100, 1000, 500};
    const Case cases[] = {
        // Display 1 keeps (40, 64, 1120, 568); the move would need a new region but the interval holds it.
        {"fits, held back", 1, onOne, {1920, 1080}, {}, {40, 64, 1120, 568}},
        {"ends inside", 1, onOne, {1100, 600}, {1}, {568, 64, 532, 536}},
        // Display 2 keeps (0, 64, 320, 568) while the viewport has left it.
        {"fits, not reached", 2, {1860, 100, 1000, 500}, {1280, 720}, {}, {0, 64, 320, 568}},
        {"ends inside, not reached", 2, {1860, 100, 1000, 500}, {300, 600}, {2}, {0, 0, 300, 600}}};
    const auto topology = [](CGSize one, CGSize two) {
        return DisplayTopology({makeDisplay(1, {0, 0, one.width, one.height}, 1), makeDisplay(2, {2560, 0, two.width, two.height}, 1)});
    };
    for (const Case& c : cases) {
        CaptureSourcePlanner planner(Configuration{.minReconfigureInterval = 0.4});
        planner.plan(c.firstViewport, topology({2560, 1440}, {1920, 1080}), kPhone, 10);
        const CGSize one = c.id == 1 ? c.newFrame : CGSize{2560, 1440};
        const CGSize two = c.id == 2 ? c.newFrame : CGSize{1920, 1080};
        const CapturePlan plan = planner.plan({600, 100, 1000, 500}, topology(one, two), kPhone, 10.125);
        EXPECT_EQ(plan.reconfigured, c.reconfigured) << c.name;
        ASSERT_NE(sourceFor(plan, c.id), nullptr) << c.name;
        EXPECT_TRUE(sameRect(sourceFor(plan, c.id)->sourceRect, c.expected)) << c.name;
    }
}
TEST(CaptureSourcePlanner, ExpandedCaptureRect) {
    struct Case { double lookahead; CGPoint velocity; CGRect visible, expected; };
    const CGRect bounds{0, 0, 1920, 1080};
    const Case cases[] = {
        {0, {500, 500}, {100, 100, 1000, 500}, {40, 64, 1120, 568}},
        {0.5, {100, -40}, {100, 100, 1000, 500}, {40, 48, 1176, 584}},  // +50 right, +20 up on the side of motion
        {0.5, {5000, 0}, {100, 100, 1000, 500}, {40, 64, 1720, 568}},   // capped at 60 % of the width per side
        {0.5, {-5000, 0}, {800, 100, 100, 100}, {728, 88, 184, 120}},
        {0, {0, 0}, {0, 0, 1920, 1080}, {0, 0, 1920, 1080}},            // cut to the display
        {0, {0, 0}, {1900, 1000, 20, 80}, {1896, 992, 24, 88}},
        {0, {0, 0}, {3000, 3000, 10, 10}, bounds},                       // nothing usable left: the whole display
        {0, {0, 0}, {kNaN, 0, 10, 10}, bounds},
        {0.5, {kNaN, 0}, {100, 100, 1000, 500}, {40, 64, 1120, 568}},   // a NaN velocity adds nothing
        {0.5, {0, -kInf}, {100, 100, 1000, 500}, {40, 0, 1120, 632}},    // an infinite one adds the cap
    };
    for (const auto& c : cases) {
        const CaptureSourcePlanner planner(Configuration{.velocityMarginLookahead = c.lookahead});
        EXPECT_TRUE(sameRect(planner.expandedCaptureRect(c.visible, bounds, c.velocity), c.expected));
    }
}
TEST(CaptureSourcePlanner, QuantizedPixelSize) {
    struct Case { double quantum; CGSize points; double density; CGSize expected; double minDimension = 16, maxDimension = 4096; };
    const Case cases[] = {
        {16, {1000, 500}, 2, {2000, 1008}},   // 62.5 quanta round to 63
        {16, {1000, 500}, 1, {1008, 496}},    // 62.5 -> 63, 31.25 -> 31
        {16, {3000, 1000}, 2, {4096, 1360}},  // longest side fitted to 4096
        {16, {1000, 3000}, 2, {1360, 4096}}, {16, {3, 2}, 1, {16, 16}},  // raised to the minimum
        {16, {0, 100}, 2, {16, 16}}, {16, {100, 100}, kNaN, {16, 16}}, {16, {100, 100}, kInf, {16, 16}},
        {16, {100, 100}, -1, {16, 16}},     // unusable: the minimum both ways
        {1, {1001, 501}, 1, {1002, 502}},   // quantum below 2 counts as 2: 500.5 -> 501
        {3, {1000, 500}, 1, {998, 500}},    // 999 floors to even; 501 floors to 500
        // Odd limits are rounded to the quantum and then down to an even value.
        {16, {0, 0}, 1, {16, 16}, 17, 4095}, {16, {8000, 10}, 1, {4094, 16}, 17, 4095}, {16, {1, 1}, 0.25, {2, 2}, 0}};
    for (const auto& c : cases) {
        const CaptureSourcePlanner planner(
            Configuration{.pixelQuantum = c.quantum, .minOutputDimension = c.minDimension, .maxOutputDimension = c.maxDimension});
        EXPECT_EQ(planner.quantizedPixelSize({0, 0, c.points.width, c.points.height}, c.density), c.expected)
            << c.points.width << "x" << c.points.height << " @" << c.density;
    }
}
}}  // namespace mivodrell
