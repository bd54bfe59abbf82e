#include "CaptureCore/FrameBudget.h"
#include <gtest/gtest.h>
namespace mivodrell { namespace {
TEST(FrameBudget, ThermalRecoveryTimeline) {
    FrameBudget budget;
    using L = ThermalLevel;
    struct Step { bool thermal; double now; ThermalLevel level; double ceiling, eligibleAt; };
    const Step steps[] = {
        {true, 0, L::serious, 45, 5}, {false, 1, L::serious, 45, 5},  // drops at once, hold until 5
        {true, 2, L::nominal, 45, 7},                                  // better: the hold moves, the ceiling stays
        {false, 5, L::nominal, 45, 7}, {false, 6.999, L::nominal, 45, 7}, {false, 7, L::nominal, 90, 12},
        {false, 11, L::nominal, 90, 12}, {false, 12.5, L::nominal, 120, 17.5},
        {false, 30, L::nominal, 120, 17.5},                            // at the target: the hold is not renewed
        {true, 31, L::critical, 20, 36}, {true, 32, L::critical, 20, 36}, {true, 33, L::fair, 20, 38},
        {false, 38, L::fair, 45, 43}, {false, 43, L::fair, 90, 48}, {false, 48, L::fair, 90, 48},
        {false, -std::numeric_limits<double>::infinity(), L::fair, 90, 48},
        // A worse level whose ceiling lies above the current one does not raise it; the hold restarts.
        {true, 49, L::critical, 20, 54}, {true, 50, L::fair, 20, 55}, {true, 51, L::serious, 20, 56},
        {false, 55.9, L::serious, 20, 56}};
    for (const auto& s : steps) {
        if (s.thermal) budget.updateThermal(s.level, s.now); else budget.tick(s.now);
        EXPECT_EQ(budget.thermal(), s.level) << "t=" << s.now;
        EXPECT_EQ(budget.currentCeilingFPS(), s.ceiling) << "t=" << s.now;
        EXPECT_EQ(budget.recoveryEligibleAt(), s.eligibleAt) << "t=" << s.now;
    }
}
TEST(FrameBudget, EmissionPacing) {
    FrameBudget budget;
    const double interval = 1.0 / 120;
    EXPECT_EQ(budget.currentInterval(), interval);
    EXPECT_TRUE(budget.shouldEmit(100));  // the first frame always goes
    EXPECT_TRUE(budget.shouldEmit(100 + interval - 0.0005));
    const double last = budget.lastEmittedAt();
    EXPECT_EQ(last, 100 + interval - 0.0005);
    EXPECT_FALSE(budget.shouldEmit(last + interval - 0.0006));
    EXPECT_EQ(budget.lastEmittedAt(), last);
    EXPECT_TRUE(budget.shouldEmit(last + interval));
    // A ceiling below one frame per second paces at one second.
    FrameBudget::Configuration configuration;
    configuration.ceilingByThermal[ThermalLevel::critical] = 0.25;
    FrameBudget slow(configuration);
    slow.updateThermal(ThermalLevel::critical, 0);
    EXPECT_EQ(slow.currentCeilingFPS(), 0.25);
    EXPECT_EQ(slow.currentInterval(), 1.0);
    EXPECT_TRUE(slow.shouldEmit(1));
    EXPECT_FALSE(slow.shouldEmit(1.99));
    EXPECT_TRUE(slow.shouldEmit(1.9995));
}
TEST(FrameBudget, RecoveryStepsAreCappedByTheTarget) {
    struct Case { double target; bool nominalEntry; std::vector<double> ceilings; };
    // Without a nominal entry the target alone bounds it; a target of 60 caps 90 and 120.
    for (const Case& c : {Case{120, false, {120, 45, 90, 120, 120}}, Case{60, true, {60, 45, 60, 60}}}) {
        FrameBudget::Configuration configuration{.targetFPS = c.target};
        if (!c.nominalEntry) configuration.ceilingByThermal.erase(ThermalLevel::nominal);
        FrameBudget budget(configuration);
        EXPECT_EQ(budget.currentCeilingFPS(), c.ceilings[0]);
        budget.updateThermal(ThermalLevel::critical, 0);
        budget.updateThermal(ThermalLevel::nominal, 0);
        for (std::size_t i = 1; i < c.ceilings.size(); ++i) {
            budget.tick(5.0 * static_cast<double>(i));
            EXPECT_EQ(budget.currentCeilingFPS(), c.ceilings[i]) << c.target << " step " << i;
        }
        EXPECT_EQ(budget.currentInterval(), 1.0 / c.target);
    }
}
}}  // namespace mivodrell
