// Invariants of the capture source planner over seeded random viewports, topologies and times.
#include "CaptureCore/CaptureSourcePlanner.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include "PlannerTestSupport.h"
namespace mivodrell { namespace {
using testing::kInf;
using testing::kNaN;
class Generator {
public:
    explicit Generator(std::uint32_t seed) : engine_(seed) {}
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(engine_); }
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine_); }
    bool chance(double p) { return uniform(0, 1) < p; }
    // One to four displays with IDs from a small pool, so that displays come and go and a kept ID may
    // change its frame. Frames are whole points, as display modes are.
    DisplayTopology topology() {
        static const CGSize kSizes[] = {{1920, 1080}, {2560, 1440}, {1280, 800}, {1512, 982}, {3840, 2160}, {800, 1280}};
        static const double kScales[] = {1, 2, 1.5, 3, 0, -1, kNaN};
        static const double kUnusable[] = {kNaN, 0, kInf, -kInf};
        std::vector<DisplayInfo> displays;
        std::set<std::uint32_t> used;
        const int count = integer(1, 4);
        double x = integer(-3000, 0);
        for (int i = 0; i < count; ++i) {
            std::uint32_t id = static_cast<std::uint32_t>(integer(1, 6));
            if (!used.insert(id).second) continue;
            CGSize size = kSizes[integer(0, 5)];
            if (chance(0.04)) size.width = kUnusable[integer(0, 3)];
            const double y = integer(-1000, 1000);
            displays.emplace_back(id, CGRect(x, y, size.width, size.height), kScales[integer(0, 6)], i == 0, "D");
            x += std::isfinite(size.width) ? size.width : 1000;
            if (chance(0.3)) x += integer(-200, 200);  // overlaps and gaps
        }
        return DisplayTopology(std::move(displays));
    }
    CGRect viewport(const DisplayTopology& topology, const CGRect& previous) {
        static const CGRect kUnusable[] = {{0, 0, 0, 100}, {kNaN, 0, 100, 100}, {0, 0, kInf, 10}, {0, 0, 10, -0.0}};
        if (chance(0.04)) return kUnusable[integer(0, 3)];
        if (chance(0.7) && std::isfinite(previous.origin.x) && previous.size.width > 0) {  // small moves and zooms
            const double dx = uniform(-80, 80), dy = uniform(-80, 80), zoom = chance(0.2) ? uniform(0.8, 1.25) : 1.0;
            return {previous.origin.x + dx, previous.origin.y + dy, std::max(1.0, previous.size.width * zoom), std::max(1.0, previous.size.height * zoom)};
        }
        const CGRect b = topology.bounds();
        const double cx = std::isfinite(b.origin.x) ? uniform(b.minX() - 500, b.maxX() + 500) : uniform(-2000, 2000);
        const double cy = std::isfinite(b.origin.y) ? uniform(b.minY() - 500, b.maxY() + 500) : uniform(-2000, 2000);
        const double w = chance(0.1) ? uniform(0.1, 20) : uniform(100, 6000), h = w * uniform(0.3, 2.5);
        return {cx - w / 2, cy - h / 2, w, h};
    }
    CGSize phone() {
        if (chance(0.05)) return chance(0.5) ? CGSize{0, 0} : CGSize{kNaN, 2532};
        return {static_cast<double>(integer(320, 3000)), static_cast<double>(integer(320, 3000))};
    }
    double nextTime(double& clock) {
        if (chance(0.05)) return chance(0.5) ? kNaN : kInf;
        clock += chance(0.1) ? uniform(0.5, 3) : uniform(0, 0.1);
        return clock;
    }
private:
    std::mt19937 engine_;
};
bool isSortedUnique(const std::vector<std::uint32_t>& ids) {
    return std::adjacent_find(ids.begin(), ids.end(), [](auto a, auto b) { return a >= b; }) == ids.end();
}
bool intersects(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    std::vector<std::uint32_t> common;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(common));
    return !common.empty();
}
TEST(CaptureSourcePlannerProperties, PlansStayWellFormed) {
    for (std::uint32_t seed = 1; seed <= 500; ++seed) {
        Generator gen(seed);
        CaptureSourcePlanner::Configuration configuration;
        if (gen.chance(0.5)) configuration.captureMarginRatio = 0.24, configuration.minReconfigureInterval = 0.4;
        if (gen.chance(0.3)) configuration.velocityMarginLookahead = gen.uniform(0, 0.5);
        CaptureSourcePlanner planner(configuration);
        DisplayTopology topology = gen.topology();
        CGRect viewport{0, 0, 1000, 600};
        double clock = gen.uniform(0, 1000);
        std::set<std::uint32_t> active;
        for (int step = 0; step < 40; ++step) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
            if (gen.chance(0.1)) topology = gen.topology();
            if (gen.chance(0.02)) planner.reset(), active.clear();
            viewport = gen.viewport(topology, viewport);
            const CapturePlan plan = planner.plan(viewport, topology, gen.phone(), gen.nextTime(clock));
            ASSERT_TRUE(isSortedUnique(plan.started) && isSortedUnique(plan.stopped) && isSortedUnique(plan.reconfigured));
            ASSERT_FALSE(intersects(plan.started, plan.reconfigured) || intersects(plan.started, plan.stopped));
            // The lists account for every change of the active set.
            std::set<std::uint32_t> expected = active;
            for (const auto id : plan.stopped) ASSERT_EQ(expected.erase(id), 1u) << id;
            for (const auto id : plan.started) ASSERT_TRUE(expected.insert(id).second) << id;
            const std::vector<std::uint32_t> ids = plan.activeDisplayIDs();
            ASSERT_EQ(std::vector<std::uint32_t>(expected.begin(), expected.end()), ids);
            ASSERT_EQ(planner.activeDisplayIDs(), ids);
            active = expected;
            for (const CaptureSource& source : plan.sources) {
                for (const double side : {source.outputPixelSize.width, source.outputPixelSize.height})
                    ASSERT_TRUE(side >= 16 && side <= 4096 && std::fmod(side, 16) == 0) << side;
                ASSERT_GE(source.pixelsPerPoint, configuration.minPixelsPerPoint);
                const auto& displays = topology.displays();
                const auto display = std::find_if(displays.begin(), displays.end(), [&](const DisplayInfo& d) { return d.id() == source.displayID; });
                ASSERT_NE(display, displays.end());
                const CGRect bounds{0, 0, display->frame().width(), display->frame().height()};
                ASSERT_TRUE(bounds.contains(source.sourceRect)) << source.displayID;
                ASSERT_TRUE(source.sourceRect.size.width > 0 && source.sourceRect.size.height > 0);
            }
        }
    }
}
}}  // namespace mivodrell
