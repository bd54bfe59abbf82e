#include "Platform/Codec/LiveRateController.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>
namespace mivodrell {
namespace {
double qscale(double qp) { return 0.85 * std::exp2((qp - 12.0) / 6.0); }
// An encoder whose frames cost complexity / qscale bits, a keyframe six times as much.
struct ModelEncoder {
    double complexity;
    std::vector<double> bits;  // of every frame
    double encode(LiveRateController& rc, bool keyframe, double factor = 1) {
        const int qp = rc.nextQP(keyframe);
        bits.push_back(complexity * factor * (keyframe ? 6 : 1) / qscale(qp));
        rc.frameEncoded(bits.back(), qp, keyframe);
        return bits.back();
    }
    // Bits of `frames` frames.
    double run(LiveRateController& rc, int frames) {
        double sum = 0;
        for (int i = 0; i < frames; ++i) sum += encode(rc, false);
        return sum;
    }
};
LiveRateController::Target capped(double bitsPerSecond, double frameRate = 60) {
    return {bitsPerSecond, bitsPerSecond * 1.25, bitsPerSecond * 1.25, frameRate};
}
TEST(LiveRateController, HoldsTheTargetAndFollowsAChangeWithinASecond) {
    struct Case {
        const char* name;
        double complexity;  // the content
        double startQP;     // where the encoder was
        double before, after, frameRateAfter = 60;
    };
    const Case cases[] = {
        {"down by four", 4e5, 30, 8e6, 2e6}, {"up by four", 4e5, 30, 2e6, 8e6}, {"from a far-off start", 4e5, 12, 8e6, 1e6},
        {"busier content", 2e6, 40, 8e6, 4e6}, {"half the frame rate", 4e5, 30, 4e6, 4e6, 30},
    };
    for (const auto& c : cases) {
        ModelEncoder encoder{c.complexity};
        LiveRateController rc(capped(c.before), c.startQP, c.complexity / qscale(c.startQP));
        encoder.run(rc, 60);
        EXPECT_NEAR(encoder.run(rc, 60), c.before, c.before * 0.1) << c.name << ": settled";
        rc.setTarget(capped(c.after, c.frameRateAfter));
        const int perSecond = static_cast<int>(c.frameRateAfter);
        const double firstSecond = encoder.run(rc, perSecond);
        EXPECT_LT(firstSecond, std::max(c.before, c.after) * 1.02) << c.name << ": first second after the change";
        EXPECT_NEAR(firstSecond, c.after, c.after * 0.35) << c.name << ": first second after the change";
        EXPECT_NEAR(encoder.run(rc, perSecond), c.after, c.after * 0.1) << c.name << ": second second";
    }
}
// A scene cut costs thirty frames' budget: the stream pays it back within a second, without
// starving any frame (each aims at a quarter of its budget at least).
TEST(LiveRateController, PaysBackASpikeWithinASecond) {
    const double budget = 4e6 / 60;
    ModelEncoder encoder{4e5};
    LiveRateController rc(capped(4e6), 30, 4e5 / qscale(30));
    encoder.run(rc, 120);
    EXPECT_GT(encoder.encode(rc, false, 30), 25 * budget);
    encoder.run(rc, 60);
    EXPECT_LT(rc.excessBits(), 5 * budget);
    EXPECT_GT(*std::min_element(encoder.bits.end() - 60, encoder.bits.end()), 0.15 * budget);
}
// Easy content banks at most half the rate buffer; busy content then spends it at no more than
// twice the cap's frame budget.
TEST(LiveRateController, BanksAtMostHalfItsBufferAndSpendsItWithinTheCap) {
    const double budget = 4e6 / 60;
    ModelEncoder encoder{1e4};
    LiveRateController rc({4e6, 4e6, 16e6, 60}, 30, 1e4 / qscale(30));
    encoder.run(rc, 300);
    EXPECT_NEAR(rc.excessBits(), -8e6, 1);
    encoder.complexity = 4e5;
    encoder.run(rc, 30);
    EXPECT_LT(encoder.run(rc, 30), 30 * 2.05 * budget);
}
TEST(LiveRateController, ItsQuantiserMovesGraduallyExceptForKeyframes) {
    for (const double after : {0.5e6, 64e6}) {
        LiveRateController rc(capped(8e6), 30, 8e6 / 60);
        rc.setTarget(capped(after));
        EXPECT_EQ(rc.nextQP(false), after < 8e6 ? 30 + LiveRateController::maxStep : 30 - LiveRateController::maxStep);
        // A keyframe aims at several frame budgets and is not bound to the last frame's quantiser.
        const int key = rc.nextQP(true);
        EXPECT_TRUE(after > 8e6 || (key > 30 + LiveRateController::maxStep && key <= LiveRateController::maxQP)) << key;
    }
    // A keyframe takes about four frame budgets and teaches the model nothing about the other frames.
    ModelEncoder encoder{4e5};
    LiveRateController rc(capped(4e6), 30, 4e5 / qscale(30));
    encoder.run(rc, 60);
    const int plainQP = rc.nextQP(false);
    EXPECT_NEAR(encoder.encode(rc, true), 4 * 4e6 / 60, 4e6 / 60);
    EXPECT_NEAR(rc.nextQP(false), plainQP, 1);
}
TEST(LiveRateController, UnusableNumbersAreIgnored) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    LiveRateController rc({nan, -1, inf, 0}, nan, nan);
    EXPECT_EQ(std::pair(rc.target().bitsPerSecond, rc.target().frameRate), std::pair(1e6, 60.0));
    const int qp = rc.nextQP(false);
    EXPECT_TRUE(qp >= LiveRateController::minQP && qp <= LiveRateController::maxQP) << qp;
    rc.frameEncoded(nan, 30, false);
    rc.frameEncoded(-5, 30, false);
    rc.frameEncoded(1000, inf, false);
    EXPECT_DOUBLE_EQ(rc.excessBits(), 0);
    rc.setTarget({0, 0, 0, nan});
    EXPECT_DOUBLE_EQ(rc.target().bitsPerSecond, 1e6);
    EXPECT_EQ(rc.nextQP(false), qp);
}
}  // namespace
}  // namespace mivodrell
