#include "CaptureCore/FrameBudget.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mivodrell {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FrameBudget, ThermalRecoveryTimeline) {
    FrameBudget budget;
    struct Step {
        enum Kind { thermal, tick } kind;
        double now;
        ThermalLevel level;
        double ceiling;
        double eligibleAt;
    };
    using L = ThermalLevel;
    const Step steps[] = {
        {Step::thermal, 0, L::serious, 45, 5},   // drops at once, hold until 5
        {Step::tick, 1, L::serious, 45, 5},
        {Step::thermal, 2, L::nominal, 45, 7},   // better: the hold moves, the ceiling stays
        {Step::tick, 5, L::nominal, 45, 7},
        {Step::tick, 6.999, L::nominal, 45, 7},
        {Step::tick, 7, L::nominal, 90, 12},     // one step up
        {Step::tick, 11, L::nominal, 90, 12},
        {Step::tick, 12.5, L::nominal, 120, 17.5},
        {Step::tick, 30, L::nominal, 120, 17.5},  // at the target: the hold is not renewed
        {Step::thermal, 31, L::critical, 20, 36},
        {Step::thermal, 32, L::critical, 20, 36},  // same level: nothing
        {Step::thermal, 33, L::fair, 20, 38},
        {Step::tick, 38, L::fair, 45, 43},
        {Step::tick, 43, L::fair, 90, 48},
        {Step::tick, 48, L::fair, 90, 48},
        {Step::tick, -kInf, L::fair, 90, 48},
        // A worse level whose ceiling lies above the current one does not raise it; the hold restarts.
        {Step::thermal, 49, L::critical, 20, 54},
        {Step::thermal, 50, L::fair, 20, 55},
        {Step::thermal, 51, L::serious, 20, 56},
        {Step::tick, 55.9, L::serious, 20, 56},
    };
    for (const auto& s : steps) {
        if (s.kind == Step::thermal) {
            budget.updateThermal(s.level, s.now);
        } else {
            budget.tick(s.now);
        }
        EXPECT_EQ(budget.thermal(), s.level) << "t=" << s.now;
        EXPECT_EQ(budget.currentCeilingFPS(), s.ceiling) << "t=" << s.now;
        EXPECT_EQ(budget.recoveryEligibleAt(), s.eligibleAt) << "t=" << s.now;
    }
}

TEST(FrameBudget, EmissionPacing) {
    FrameBudget budget;
    EXPECT_EQ(budget.currentInterval(), 1.0 / 120);
    EXPECT_TRUE(budget.shouldEmit(100));  // the first frame always goes
    const double interval = 1.0 / 120;
    EXPECT_TRUE(budget.shouldEmit(100 + interval - 0.0005));
    EXPECT_EQ(budget.lastEmittedAt(), 100 + interval - 0.0005);
    const double last = budget.lastEmittedAt();
    EXPECT_FALSE(budget.shouldEmit(last + interval - 0.0006));
    EXPECT_EQ(budget.lastEmittedAt(), last);
    EXPECT_TRUE(budget.shouldEmit(last + interval));
}

TEST(FrameBudget, CeilingBelowOneFramePerSecondPacesAtOneSecond) {
    FrameBudget::Configuration configuration;
    configuration.ceilingByThermal[ThermalLevel::critical] = 0.25;
    FrameBudget budget(configuration);
    budget.updateThermal(ThermalLevel::critical, 0);
    EXPECT_EQ(budget.currentCeilingFPS(), 0.25);
    EXPECT_EQ(budget.currentInterval(), 1.0);
    EXPECT_TRUE(budget.shouldEmit(1));
    EXPECT_FALSE(budget.shouldEmit(1.99));
    EXPECT_TRUE(budget.shouldEmit(1.9995));
}

TEST(FrameBudget, MissingLevelCeilingRecoversStepByStepToTheTarget) {
    FrameBudget::Configuration configuration;
    configuration.ceilingByThermal.erase(ThermalLevel::nominal);
    FrameBudget budget(configuration);
    EXPECT_EQ(budget.currentCeilingFPS(), 120);  // nominal has no entry: target only
    budget.updateThermal(ThermalLevel::critical, 0);
    budget.updateThermal(ThermalLevel::nominal, 0);
    const double expected[] = {45, 90, 120, 120};
    double now = 5;
    for (const double ceiling : expected) {
        budget.tick(now);
        EXPECT_EQ(budget.currentCeilingFPS(), ceiling) << now;
        now += 5;
    }
}

TEST(FrameBudget, CeilingsAboveTheTargetAreCappedByIt) {
    FrameBudget::Configuration configuration;
    configuration.targetFPS = 60;
    FrameBudget budget(configuration);
    EXPECT_EQ(budget.currentCeilingFPS(), 60);  // starts at the target
    budget.updateThermal(ThermalLevel::critical, 0);
    budget.updateThermal(ThermalLevel::nominal, 0);
    budget.tick(5);
    EXPECT_EQ(budget.currentCeilingFPS(), 45);
    budget.tick(10);
    EXPECT_EQ(budget.currentCeilingFPS(), 60);  // 90 and 120 both cap to the target 60
    EXPECT_EQ(budget.currentInterval(), 1.0 / 60);
}

}  // namespace
}  // namespace mivodrell
