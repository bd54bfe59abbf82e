#include "Platform/Codec/LiveRateController.h"
#include <gtest/gtest.h>
#include <cmath>
#include <limits>
namespace mivodrell {
namespace {
double qscale(double qp) { return 0.85 * std::exp2((qp - 12.0) / 6.0); }
// An encoder whose frames cost complexity / qscale bits.
struct ModelEncoder {
    double complexity;
    double keyframeFactor = 6;
    double encode(LiveRateController& rc, bool keyframe) {
        const int qp = rc.nextQP(keyframe);
        const double bits = complexity * (keyframe ? keyframeFactor : 1) / qscale(qp);
        rc.frameEncoded(bits, qp, keyframe);
        return bits;
    }
    // Bits of `frames` frames.
    double run(LiveRateController& rc, int frames) {
        double sum = 0;
        for (int i = 0; i < frames; ++i) sum += encode(rc, false);
        return sum;
    }
};
TEST(LiveRateController, HoldsTheTargetAndFollowsAChangeWithinASecond) {
    struct Case {
        const char* name;
        double complexity;  // the content
        double startQP;     // where the encoder was
        double before, after;
    };
    const Case cases[] = {
        {"down by four", 4e5, 30, 8e6, 2e6},
        {"up by four", 4e5, 30, 2e6, 8e6},
        {"from a far-off start", 4e5, 12, 8e6, 1e6},
        {"busier content", 2e6, 40, 8e6, 4e6},
    };
    for (const auto& c : cases) {
        ModelEncoder encoder{c.complexity};
        LiveRateController rc({c.before, c.before * 1.25, c.before * 1.25, 60}, c.startQP, c.complexity / qscale(c.startQP));
        encoder.run(rc, 60);
        EXPECT_NEAR(encoder.run(rc, 60), c.before, c.before * 0.1) << c.name << ": settled";
        rc.setTarget({c.after, c.after * 1.25, c.after * 1.25, 60});
        const double firstSecond = encoder.run(rc, 60);
        EXPECT_LT(firstSecond, std::max(c.before, c.after) * 1.0) << c.name << ": first second after the change";
        EXPECT_NEAR(firstSecond, c.after, c.after * 0.35) << c.name << ": first second after the change";
        EXPECT_NEAR(encoder.run(rc, 60), c.after, c.after * 0.1) << c.name << ": second second";
    }
}
TEST(LiveRateController, ItsQuantiserMovesGraduallyExceptForKeyframes) {
    LiveRateController rc({8e6, 10e6, 10e6, 60}, 30, 8e6 / 60);
    rc.setTarget({0.5e6, 0.6e6, 0.6e6, 60});
    EXPECT_EQ(rc.nextQP(false), 30 + LiveRateController::maxStep);
    // A keyframe aims at several frame budgets and is not bound to the last frame's quantiser.
    const int key = rc.nextQP(true);
    EXPECT_TRUE(key > 30 + LiveRateController::maxStep && key <= LiveRateController::maxQP) << key;
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
