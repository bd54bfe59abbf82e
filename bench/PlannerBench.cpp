// CaptureSourcePlanner::plan over a three-display desktop with a moving viewport, against the
// baseline of only cutting the same viewports into display slices.

#include "CaptureCore/CaptureSourcePlanner.h"
#include "ViewportCore/DisplayTopology.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace mivodrell {
namespace {

DisplayTopology threeDisplayDesktop() {
    return DisplayTopology({DisplayInfo(1, {0, 0, 1512, 982}, 2, true, "Built-in Retina Display"),
                            DisplayInfo(2, {1512, -300, 2560, 1440}, 1, false, "Studio Display"),
                            DisplayInfo(3, {4072, -300, 1920, 1080}, 1, false, "Projector")});
}

// A viewport sweeping back and forth across all three displays while zooming gently.
std::vector<CGRect> viewportPath() {
    std::vector<CGRect> path;
    constexpr int kSteps = 600;
    for (int i = 0; i < kSteps; ++i) {
        const double phase = 2 * M_PI * i / kSteps;
        const double width = 1400 + 400 * std::sin(3 * phase);
        const double height = width * 2532 / 1170 * 0.5;
        const double cx = 3000 + 2600 * std::sin(phase);
        const double cy = 300 + 250 * std::cos(2 * phase);
        path.push_back({cx - width / 2, cy - height / 2, width, height});
    }
    return path;
}

void BM_CaptureSourcePlannerPlan(benchmark::State& state) {
    const DisplayTopology topology = threeDisplayDesktop();
    const std::vector<CGRect> path = viewportPath();
    CaptureSourcePlanner::Configuration configuration;
    configuration.captureMarginRatio = 0.24;
    configuration.minReconfigureInterval = 0.4;
    CaptureSourcePlanner planner(configuration);
    const CGSize phone{1170, 2532};
    std::size_t i = 0;
    double now = 0;
    for (auto _ : state) {
        CapturePlan plan = planner.plan(path[i], topology, phone, now);
        benchmark::DoNotOptimize(plan);
        if (++i == path.size()) i = 0;
        now += 1.0 / 60;
    }
}
BENCHMARK(BM_CaptureSourcePlannerPlan);

void BM_CaptureSourcePlannerSlicesBaseline(benchmark::State& state) {
    const DisplayTopology topology = threeDisplayDesktop();
    const std::vector<CGRect> path = viewportPath();
    std::size_t i = 0;
    for (auto _ : state) {
        auto slices = topology.slices(path[i]);
        benchmark::DoNotOptimize(slices);
        if (++i == path.size()) i = 0;
    }
}
BENCHMARK(BM_CaptureSourcePlannerSlicesBaseline);

}  // namespace
}  // namespace mivodrell
